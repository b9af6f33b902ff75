# The host build: the filter over our POSIX layer, and everything that tests it.
add_compile_options(-Wall -Wextra -Werror=return-type)
include_directories(${PROJECT_SOURCE_DIR})

# Filter code keeps to what the image allows, so the host build finds it too.
add_library(filter_core OBJECT ${FILTER_SOURCES})
target_compile_options(filter_core PRIVATE -fno-exceptions -fno-rtti)

add_library(host_format OBJECT platform/posix/wvsprintf.cpp)
add_library(platform_posix OBJECT platform/posix/posix_platform.cpp)

add_executable(b64filter platform/posix/main.cpp)
target_link_libraries(b64filter PRIVATE filter_core platform_posix host_format)

enable_testing()
add_subdirectory(tests)

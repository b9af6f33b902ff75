// The image's load configuration. The loader reads DependentLoadFlags from
// it: the link settings set LOAD_LIBRARY_SEARCH_SYSTEM32 there, so that
// KERNEL32.dll and USER32.dll come from the system directory only, never
// from the program's directory or the search path.
//
// The structure is IMAGE_LOAD_CONFIG_DIRECTORY32 or, in the x64 image, its
// 64-bit form, up to CodeIntegrity (Size says 0x68 or 0xA0); everything the
// program does not use stays zero. The two differ in the fields that hold an
// address or a size in memory, a pointer wide, and in the order of
// ProcessHeapFlags and ProcessAffinityMask. The x86 image's data-directory
// entry gives 64 bytes (tools/finish-image sets that), the size that the
// loaders of Windows XP and before insist on; DependentLoadFlags lies within
// them. The x64 image's gives the whole structure, as lld-link writes it.
#include <stddef.h>

#include "platform/platform.h"

typedef unsigned short WORD;
typedef uintptr_t SIZE_OR_ADDRESS;  // ULONG_PTR or ULONGLONG in the Windows headers

struct LoadConfigDirectory {
    DWORD Size;
    DWORD TimeDateStamp;
    WORD MajorVersion;
    WORD MinorVersion;
    DWORD GlobalFlagsClear;
    DWORD GlobalFlagsSet;
    DWORD CriticalSectionDefaultTimeout;
    SIZE_OR_ADDRESS DeCommitFreeBlockThreshold;
    SIZE_OR_ADDRESS DeCommitTotalFreeThreshold;
    SIZE_OR_ADDRESS LockPrefixTable;
    SIZE_OR_ADDRESS MaximumAllocationSize;
    SIZE_OR_ADDRESS VirtualMemoryThreshold;
#if defined(_WIN64)
    SIZE_OR_ADDRESS ProcessAffinityMask;
    DWORD ProcessHeapFlags;
#else
    DWORD ProcessHeapFlags;
    SIZE_OR_ADDRESS ProcessAffinityMask;
#endif
    WORD CSDVersion;
    WORD DependentLoadFlags;
    SIZE_OR_ADDRESS EditList;
    SIZE_OR_ADDRESS SecurityCookie;
    SIZE_OR_ADDRESS SEHandlerTable;
    SIZE_OR_ADDRESS SEHandlerCount;
    SIZE_OR_ADDRESS GuardCFCheckFunctionPointer;
    SIZE_OR_ADDRESS GuardCFDispatchFunctionPointer;
    SIZE_OR_ADDRESS GuardCFFunctionTable;
    SIZE_OR_ADDRESS GuardCFFunctionCount;
    DWORD GuardFlags;
    WORD CodeIntegrityFlags;
    WORD CodeIntegrityCatalog;
    DWORD CodeIntegrityCatalogOffset;
    DWORD CodeIntegrityReserved;
};

#if defined(_WIN64)
static_assert(sizeof(LoadConfigDirectory) == 0xA0, "the 64-bit structure up to CodeIntegrity");
static_assert(offsetof(LoadConfigDirectory, DependentLoadFlags) == 78, "where the loader reads it");
#else
static_assert(sizeof(LoadConfigDirectory) == 0x68, "the structure up to CodeIntegrity");
static_assert(offsetof(LoadConfigDirectory, DependentLoadFlags) + sizeof(WORD) <= 64,
              "within the part the data directory names");
#endif

static constexpr LoadConfigDirectory MakeLoadConfigDirectory()
{
    LoadConfigDirectory directory{};
    directory.Size = sizeof directory;
    return directory;
}

// The linker finds the structure by this name. A constant expression, so it
// is plain read-only data: nothing runs to initialise it.
extern "C" constexpr LoadConfigDirectory _load_config_used = MakeLoadConfigDirectory();

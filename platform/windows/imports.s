# The image's import table, written out by hand so that the functions stand
# in the order given here. Import libraries would not keep it: the linker
# sorts the names it takes from them.
#
# The .idata$N sections are the parts of an import table that the linker
# knows: $2 the import directory, $4 the lookup tables, $5 the import address
# tables (the __imp_ symbols the compiler's dllimport calls go through), $6
# the hint/name entries and $7 the library names. The linker places them in
# that order, ends the directory with the null entry of its own, and points
# the import and IAT directories at $2 and $5. All of it is read-only data
# (the loader unprotects the address tables while it binds them), merged with
# the constants of the image.

        .macro import_by_name label, name
        .p2align 1
\label:
        .short 0                        # hint: none; the loader looks the name up
        .asciz "\name"
        .endm

        .section .idata$2,"dr"
        .p2align 2
        # OriginalFirstThunk, TimeDateStamp, ForwarderChain, Name, FirstThunk
        .rva kernel32_lookup
        .long 0, 0
        .rva kernel32_name, kernel32_addresses
        .rva user32_lookup
        .long 0, 0
        .rva user32_name, user32_addresses

        .section .idata$4,"dr"
        .p2align 2
kernel32_lookup:
        .rva WriteFile_name, ExitProcess_name, CloseHandle_name, ReadFile_name
        .rva GetLastError_name, GetStdHandle_name
        .long 0
user32_lookup:
        .rva wvsprintfA_name
        .long 0

        # Before binding the address tables hold what the lookup tables hold.
        # Each slot is the __imp_ symbol of its function, as the compiler
        # decorates it for a dllimport __stdcall call (the argument bytes after @).
        .macro address_slot symbol, entry
        .globl \symbol
\symbol:
        .rva \entry
        .endm

        .section .idata$5,"dr"
        .p2align 2
kernel32_addresses:
        address_slot __imp__WriteFile@20, WriteFile_name
        address_slot __imp__ExitProcess@4, ExitProcess_name
        address_slot __imp__CloseHandle@4, CloseHandle_name
        address_slot __imp__ReadFile@20, ReadFile_name
        address_slot __imp__GetLastError@0, GetLastError_name
        address_slot __imp__GetStdHandle@4, GetStdHandle_name
        .long 0
user32_addresses:
        address_slot __imp__wvsprintfA@12, wvsprintfA_name
        .long 0

        .section .idata$6,"dr"
        import_by_name WriteFile_name, WriteFile
        import_by_name ExitProcess_name, ExitProcess
        import_by_name CloseHandle_name, CloseHandle
        import_by_name ReadFile_name, ReadFile
        import_by_name GetLastError_name, GetLastError
        import_by_name GetStdHandle_name, GetStdHandle
        import_by_name wvsprintfA_name, wvsprintfA

        .section .idata$7,"dr"
kernel32_name:
        .asciz "KERNEL32.dll"
user32_name:
        .asciz "USER32.dll"

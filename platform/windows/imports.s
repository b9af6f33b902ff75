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
#
# POINTER_BYTES (the build defines it: 4 for x86, 8 for x64) is the width of
# a lookup or address slot, and decides how the compiler names a slot.

        .macro import_by_name label, name
        .p2align 1
\label:
        .short 0                        # hint: none; the loader looks the name up
        .asciz "\name"
        .endm

        # One slot of a lookup or address table: the RVA of a hint/name
        # entry, widened to a pointer (a clear top bit: by name, not ordinal).
        .macro slot entry
        .rva \entry
        .if POINTER_BYTES == 8
        .long 0
        .endif
        .endm

        # The null slot that ends a table.
        .macro end_of_table
        .fill POINTER_BYTES, 1, 0
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
        .balign POINTER_BYTES
kernel32_lookup:
        slot WriteFile_name
        slot ExitProcess_name
        slot CloseHandle_name
        slot ReadFile_name
        slot GetLastError_name
        slot GetStdHandle_name
        end_of_table
user32_lookup:
        slot wvsprintfA_name
        end_of_table

        # Before binding the address tables hold what the lookup tables hold.
        # Each slot is the __imp_ symbol of its function, as the compiler names
        # a dllimport call's: on x64 the bare name; on x86 decorated for
        # __stdcall, with the argument bytes after @.
        .macro address_slot function, argument_bytes
        .if POINTER_BYTES == 8
        .globl __imp_\function
__imp_\function:
        .else
        .globl __imp__\function@\argument_bytes
__imp__\function@\argument_bytes:
        .endif
        slot \function\()_name
        .endm

        .section .idata$5,"dr"
        .balign POINTER_BYTES
kernel32_addresses:
        address_slot WriteFile, 20
        address_slot ExitProcess, 4
        address_slot CloseHandle, 4
        address_slot ReadFile, 20
        address_slot GetLastError, 0
        address_slot GetStdHandle, 4
        end_of_table
user32_addresses:
        address_slot wvsprintfA, 12
        end_of_table

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

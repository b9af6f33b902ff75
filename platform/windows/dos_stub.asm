; The program's DOS stub: what the image does when started under 16-bit DOS.
; It prints one line, rings the bell and ends with exit code 1.
; Assembled with nasm -f bin; tools/finish-image puts it at the head of the
; linked image and fills in e_lfanew, the offset of the PE header after it.
        bits 16
        org 0

header:
        db 'MZ'
        dw (stub_end - header) % 512         ; e_cblp: bytes in the last page
        dw (stub_end - header + 511) / 512   ; e_cp: pages in the file, this header included
        dw 0                                 ; e_crlc: no relocations
        dw (code - header) / 16              ; e_cparhdr: header size in paragraphs
        dw (stack_top - (stub_end - code) + 15) / 16 ; e_minalloc: room for the stack
        dw 0FFFFh                            ; e_maxalloc
        dw 0                                 ; e_ss, relative to the load module
        dw stack_top                         ; e_sp
        dw 0                                 ; e_csum
        dw 0                                 ; e_ip
        dw 0                                 ; e_cs, relative to the load module
        dw 40h                               ; e_lfarlc: where a relocation table would be
        dw 0                                 ; e_ovno
        times 3Ch - ($ - header) db 0        ; e_res, e_oemid, e_oeminfo, e_res2
        dd 0                                 ; e_lfanew, filled in by the finishing tool

; The load module: DOS loads what follows the header at CS:0.
code:
        push cs
        pop ds
        mov dx, message - code
        mov ah, 09h                          ; write the "$"-terminated string at DS:DX
        int 21h
        mov ax, 4C01h                        ; end with exit code 1
        int 21h

message:
        db 'Base64 Filter needs Windows: run it from a Windows console.', 13, 10, 7, '$'

        align 8, db 0                        ; the PE header that follows starts aligned
stub_end:

stack_top equ 100h

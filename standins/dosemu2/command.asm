; COMMAND.COM for the real DOSEMU: the guest's shell in the DOSEMU test and in
; `./demo.sh dosemu`. DOSEMU boots the command.com it finds on E:
; ($DOSEMU2_COMCOM_DIR) first, so this takes GEOS's place there: from the GEOS
; folder \GEOWORKS of the last drive that has one (C:, or the drive that
; `dosemu -d DIR` adds after all others) it prints a letter and then a
; brochure with PRINT.COM (standins/dosbox/print.asm), which lies beside it on
; E: with the two documents, and then ends DOSEMU.
;
; DOSEMU's exit status is the first non-zero exit code of PRINT.COM (0 all
; taken, 1 usage, 2 file error, 3 not taken in time), else 0; 4 when this
; shell found no \GEOWORKS or could not start PRINT.COM.
; Build: nasm -f bin -o command.com command.asm

        cpu 8086
        org 100h

start:  mov sp, stack_top
        ; A .COM program is given all memory; EXEC needs some of it back.
        mov ah, 4Ah             ; ES: our PSP
        mov bx, (program_end - $$ + 100h + 15) / 16  ; paragraphs, PSP included
        int 21h
        jc shell_error

        ; PRINT.COM writes under the current folder, as GEOS's driver does.
        ; A drive given with -d comes after all others, so the search goes
        ; down from Z: and the user's own C:\GEOWORKS is left alone then.
        mov byte [geos_dir], 'Z'
find_geos:
        mov dx, geos_dir
        mov ah, 3Bh             ; the current folder of that drive
        int 21h
        jnc found_geos
        dec byte [geos_dir]
        cmp byte [geos_dir], 'C'
        jae find_geos
        jmp shell_error
found_geos:
        mov dl, [geos_dir]      ; that drive made the current one
        sub dl, 'A'
        mov ah, 0Eh
        int 21h

        ; Made by DOS, missing folders get the lower-case host names a GEOS
        ; installation has. An error (most likely: it exists) is left to
        ; PRINT.COM, which cannot write there then.
        mov dx, document_dir
        mov ah, 39h
        int 21h
        mov dx, userdata_dir
        mov ah, 39h
        int 21h

        mov bx, letter_tail
        call print
        jnz finish
        mov bx, brochure_tail
        call print
finish: mov bl, al
end_dosemu:
        ; DOSEMU's own exit call; a shell that returns to DOS instead leaves
        ; DOSEMU waiting for a key.
        mov ax, 0FFFFh
        int 0E6h
        jmp end_dosemu

shell_error:
        mov bl, 4
        jmp end_dosemu

print:                          ; BX: command tail; AL: PRINT's exit code, ZF when 0
        mov [exec_tail], bx
        mov [exec_tail+2], cs
        mov [exec_fcb1+2], cs
        mov [exec_fcb2+2], cs
        mov dx, print_com
        mov bx, exec_block
        mov ax, 4B00h
        int 21h
        ; Old DOS versions lose every register over EXEC but CS:IP.
        mov bx, cs
        mov ds, bx
        mov es, bx
        cli
        mov ss, bx
        mov sp, stack_top - 2   ; our return address is still there
        sti
        jc shell_error
        mov ah, 4Dh             ; the child's exit code
        int 21h
        test al, al
        ret

document_dir    db 'DOCUMENT', 0
userdata_dir    db 'USERDATA', 0
geos_dir        db 'Z:\GEOWORKS', 0
print_com       db 'E:\PRINT.COM', 0
; Command tails as DOS passes them: a length byte, then the text up to CR.
letter_tail     db letter_end - letter_tail - 1, ' 0 E:\LETTER.PS'
letter_end      db 13
brochure_tail   db brochure_end - brochure_tail - 1, ' 1 E:\BROCHURE.PS'
brochure_end    db 13
exec_block      dw 0            ; environment: a copy of ours
exec_tail       dw 0, 0
exec_fcb1       dw 5Ch, 0       ; our PSP's FCBs, which PRINT.COM ignores
exec_fcb2       dw 6Ch, 0

                align 2
                times 128 db 0
stack_top:
program_end:

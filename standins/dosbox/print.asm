; PRINT.COM: prints one job the way the GEOS guest's printer driver does, so
; that kelvane sees it arrive through a real DOS emulator's file layer.
;
;   PRINT L FILE    L: the layout digit (0 letter, else brochure)
;                   FILE: the PostScript document to print
;
; Start it from the GEOS folder (such as C:\GEOWORKS): both files go under
; the current directory of the current drive, as the printer driver's do.
; Writes L into USERDATA\DRUCKEN.CFG, copies FILE into DOCUMENT\DRUCKEN.PS
; in pieces with short pauses, ends it with the 0x04 byte and closes it, then
; waits until the print file is gone (kelvane has taken it). A relative FILE
; is found from there too. Exit code: 0 taken, 1 bad command line, 2 a file
; could not be read or written, 3 not taken within about 60 s.
; Build: nasm -f bin -o print.com print.asm

        cpu 8086
        org 100h

PIECE   equ 256                 ; bytes per write
GAP     equ 4                   ; timer ticks (55 ms each) between writes
POLL    equ 9                   ; ticks between looks at the print file
LOOKS   equ 121                 ; looks before giving up: 121 x 9 ticks = 60 s

start:  mov si, 81h             ; the command tail in the PSP, ended by CR
        call skip_blanks
        lodsb
        cmp al, '0'
        jb usage
        cmp al, '9'
        ja usage
        mov [layout], al
        call skip_blanks
        mov [source], si
.name:  lodsb                   ; the file name runs to a blank or the CR
        cmp al, ' '
        ja .name
        mov byte [si-1], 0      ; DOS wants it zero-terminated
        dec si
        cmp si, [source]
        je usage

        mov ax, 3D00h           ; open FILE for reading
        mov dx, [source]
        int 21h
        jc file_error
        mov [in_handle], ax

        ; The layout first: kelvane reads it once the print file is complete.
        mov dx, cfg_name
        call create
        mov ah, 40h             ; the digit and a DOS line end
        mov cx, 3
        mov dx, layout
        int 21h
        jc file_error
        mov ah, 3Eh
        int 21h

        mov dx, msg_printing
        call say
        mov dx, ps_name
        call create
        mov [out_handle], bx
.copy:  mov ah, 3Fh             ; next piece of FILE
        mov bx, [in_handle]
        mov cx, PIECE
        mov dx, buffer
        int 21h
        jc file_error
        mov cx, ax
        jcxz .last
        call write_out
        mov cx, GAP
        call wait_ticks
        jmp .copy
.last:  mov cx, 1               ; the end mark kelvane waits for, last of all
        mov dx, eot
        call write_out
        mov ah, 3Eh
        int 21h
        jc file_error

        mov dx, msg_waiting
        call say
        mov si, LOOKS
.look:  mov ax, 3D00h           ; open fails once kelvane has deleted it
        mov dx, ps_name
        int 21h
        jc .gone
        mov bx, ax
        mov ah, 3Eh
        int 21h
        mov cx, POLL
        call wait_ticks
        dec si
        jnz .look
        mov dx, msg_not_taken
        mov al, 3
        jmp quit
.gone:  cmp ax, 2               ; only "not found" means gone
        jne file_error
        mov dx, msg_taken
        mov al, 0
        jmp quit

usage:  mov dx, msg_usage
        mov al, 1
        jmp quit
file_error:
        mov dx, msg_file_error
        mov al, 2
quit:   push ax
        call say
        pop ax
        mov ah, 4Ch
        int 21h

skip_blanks:                    ; SI past blanks and tabs
        cmp byte [si], ' '
        je .next
        cmp byte [si], 9
        jne .done
.next:  inc si
        jmp skip_blanks
.done:  ret

create:                         ; DX: name; BX: handle of the new empty file
        mov ah, 3Ch
        xor cx, cx
        int 21h
        jc file_error
        mov bx, ax
        ret

write_out:                      ; CX bytes at DX to the print file; BX kept
        mov bx, [out_handle]
        mov ah, 40h
        int 21h
        jc file_error
        cmp ax, cx              ; a short write means the disk is full
        jne file_error
        ret

wait_ticks:                     ; CX timer ticks; HLT lets DOSBox idle meanwhile
        push cx
        mov ah, 0
        int 1Ah                 ; DX: low word of the tick count
        mov di, dx
.same:  sti
        hlt
        mov ah, 0
        int 1Ah
        cmp dx, di
        je .same
        pop cx
        loop wait_ticks
        ret

say:    mov ah, 9               ; DX: a '$'-terminated message
        int 21h
        ret

layout          db '0', 13, 10
eot             db 4
; No drive, no leading backslash: both lie under the current directory.
cfg_name        db 'USERDATA\DRUCKEN.CFG', 0
ps_name         db 'DOCUMENT\DRUCKEN.PS', 0
msg_usage       db 'usage: PRINT L FILE (L: layout digit, FILE: PostScript)', 13, 10, '$'
msg_file_error  db 'PRINT: a file could not be read or written', 13, 10, '$'
msg_printing    db 'PRINT: writing DOCUMENT\DRUCKEN.PS', 13, 10, '$'
msg_waiting     db 'PRINT: waiting for kelvane to take it', 13, 10, '$'
msg_taken       db 'PRINT: taken', 13, 10, '$'
msg_not_taken   db 'PRINT: not taken within 60 s', 13, 10, '$'

source          dw 0
in_handle       dw 0
out_handle      dw 0
buffer:                         ; PIECE bytes past the end of the program

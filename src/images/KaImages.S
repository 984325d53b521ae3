// The built-in firmware images. The files' bytes are placed in file order, so the arrays
// read as bytes give the files whatever the host's byte order. The sizes are checked here
// against what the rest of the program declares, so a wrong file stops the build. Whether
// the files are the Ka's firmware or made-up ones, and the release they are, is recorded
// beside them.

    .section .note.GNU-stack,"",@progbits

    .section .rodata

    .balign 4
    .globl KaXilinxData
    .type KaXilinxData, @object
KaXilinxData:
    .incbin KA_XILINX_IMAGE_FILE
.LKaXilinxDataEnd:
    // Completes the last 32-bit word.
    .byte 0, 0
    .size KaXilinxData, . - KaXilinxData
    .if (.LKaXilinxDataEnd - KaXilinxData) != 336754
    .error "KaXilinx.bit must hold 336754 bytes"
    .endif

    .balign 4
    .globl KaXilinxDataSizeBytes
    .type KaXilinxDataSizeBytes, @object
KaXilinxDataSizeBytes:
    .long .LKaXilinxDataEnd - KaXilinxData
    .size KaXilinxDataSizeBytes, 4

    .balign 4
    .globl KaMCORE06data
    .type KaMCORE06data, @object
KaMCORE06data:
    .incbin KA_MCORE_IMAGE_FILE
.LKaMCORE06dataEnd:
    .size KaMCORE06data, . - KaMCORE06data
    .if (.LKaMCORE06dataEnd - KaMCORE06data) != 74876
    .error "Ka_MCORE.s19 must hold 74876 bytes"
    .endif

    .balign 4
    .globl KaMCORE06dataSize
    .type KaMCORE06dataSize, @object
KaMCORE06dataSize:
    .long .LKaMCORE06dataEnd - KaMCORE06data
    .size KaMCORE06dataSize, 4

    .balign 4
    .globl KaBuiltInImagesAreFirmware
    .type KaBuiltInImagesAreFirmware, @object
KaBuiltInImagesAreFirmware:
    .long KA_IMAGES_ARE_FIRMWARE
    .size KaBuiltInImagesAreFirmware, 4

    .balign 4
    .globl KaBuiltInMCOREVersion
    .type KaBuiltInMCOREVersion, @object
KaBuiltInMCOREVersion:
    .long KA_BUILT_IN_MCORE_VERSION
    .size KaBuiltInMCOREVersion, 4

    .balign 4
    .globl KaBuiltInXilinxVersion
    .type KaBuiltInXilinxVersion, @object
KaBuiltInXilinxVersion:
    .long KA_BUILT_IN_XILINX_VERSION
    .size KaBuiltInXilinxVersion, 4

# cmake -P: copies the firmware folder in PAIR_DIR to OUTPUT_DIR with the checksum of the
# S-record image's first data record (line 2) made wrong.
file(MAKE_DIRECTORY ${OUTPUT_DIR})
file(COPY ${PAIR_DIR}/KaXilinx.bit ${PAIR_DIR}/version DESTINATION ${OUTPUT_DIR})
# file(READ) drops the CRs; every line of the image ends in CR LF, so they are put back.
file(READ ${PAIR_DIR}/Ka_MCORE.s19 text)
# Line 1 is "S0030000FC"; line 2 holds 28 data bytes, 68 characters before its checksum.
string(SUBSTRING "${text}" 0 79 head)
string(SUBSTRING "${text}" 79 1 digit)
string(SUBSTRING "${text}" 80 -1 tail)
if(digit STREQUAL "0")
    set(digit "1")
else()
    set(digit "0")
endif()
string(ASCII 13 cr)
string(REPLACE "\n" "${cr}\n" text "${head}${digit}${tail}")
file(WRITE ${OUTPUT_DIR}/Ka_MCORE.s19 "${text}")
# Digests of the files as they now are: the defect to find is the record's, not a mismatch.
set(digests "")
foreach(name KaXilinx.bit Ka_MCORE.s19 version)
    file(SHA256 ${OUTPUT_DIR}/${name} digest)
    string(APPEND digests "${digest}  ${name}\n")
endforeach()
file(WRITE ${OUTPUT_DIR}/SHA256SUMS "${digests}")

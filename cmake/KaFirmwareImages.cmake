# The firmware images a build carries: checking a supplied folder at configure time, and
# compiling a pair of image files into a target.

set(_ka_firmware_tools ${CMAKE_CURRENT_LIST_DIR}/../tools)
set(_ka_firmware_room ${CMAKE_CURRENT_LIST_DIR}/../src/services/firmware)
set(_ka_images_source ${CMAKE_CURRENT_LIST_DIR}/../src/images/KaImages.S)

# ka_check_firmware_folder(FOLDER MADE_UP_FOLDER MCORE_VERSION_VAR XILINX_VERSION_VAR)
# Stops the configure with one message naming the file and its defect unless FOLDER holds
# KaXilinx.bit and Ka_MCORE.s19 fit to be the Ka's firmware, neither the made-up image of the
# same name in MADE_UP_FOLDER, a version file, and a SHA256SUMS that the three match; sets the two variables to its versions.
# The checker is the firmware room's (src/services/firmware) that the program uses too,
# compiled here with the command-line checker of tools/ because nothing of the build exists yet.
function(ka_check_firmware_folder folder made_up_folder mcore_version_var xilinx_version_var)
    # The checker's SHA-256 is OpenSSL's.
    find_package(OpenSSL REQUIRED COMPONENTS Crypto)
    try_run(run_result compile_result
            SOURCES ${_ka_firmware_tools}/ka_check_firmware.cpp
                    ${_ka_firmware_room}/FirmwareFolder.cpp
                    ${_ka_firmware_room}/FirmwareImageCheck.cpp
                    ${_ka_firmware_room}/SRecord.cpp
            CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${_ka_firmware_room}/..;${_ka_firmware_room}/../../wire"
            CXX_STANDARD 20
            CXX_STANDARD_REQUIRED ON
            LINK_LIBRARIES OpenSSL::Crypto
            NO_CACHE
            COMPILE_OUTPUT_VARIABLE compile_output
            RUN_OUTPUT_VARIABLE run_output
            ARGS "${folder}" "${made_up_folder}")
    if(NOT compile_result)
        message(FATAL_ERROR "KA_FIRMWARE_DIR: the firmware checker did not compile:\n"
                            "${compile_output}")
    endif()
    if(NOT run_result EQUAL 0)
        string(STRIP "${run_output}" run_output)
        message(FATAL_ERROR "KA_FIRMWARE_DIR: ${run_output}")
    endif()
    ka_parse_firmware_version("${run_output}" ${mcore_version_var} ${xilinx_version_var})
    set(${mcore_version_var} ${${mcore_version_var}} PARENT_SCOPE)
    set(${xilinx_version_var} ${${xilinx_version_var}} PARENT_SCOPE)
endfunction()

# ka_parse_firmware_version(TEXT MCORE_VERSION_VAR XILINX_VERSION_VAR)
# The two numbers of a version file's "M-X" line.
function(ka_parse_firmware_version text mcore_version_var xilinx_version_var)
    if(NOT text MATCHES "^([0-9]+)-([0-9]+)\n?$")
        message(FATAL_ERROR "not a firmware version line: '${text}'")
    endif()
    set(${mcore_version_var} ${CMAKE_MATCH_1} PARENT_SCOPE)
    set(${xilinx_version_var} ${CMAKE_MATCH_2} PARENT_SCOPE)
endfunction()

# ka_embed_images(TARGET XILINX_FILE MCORE_FILE ARE_FIRMWARE MCORE_VERSION XILINX_VERSION)
# Compiles the two files into TARGET as the built-in images. ARE_FIRMWARE (1 or 0) is what
# the program reads as KaBuiltInImagesAreFirmware; the versions are the release they are.
function(ka_embed_images target xilinx_file mcore_file are_firmware mcore_version
         xilinx_version)
    target_sources(${target} PRIVATE ${_ka_images_source})
    target_compile_definitions(${target} PRIVATE
        KA_XILINX_IMAGE_FILE="${xilinx_file}"
        KA_MCORE_IMAGE_FILE="${mcore_file}"
        KA_IMAGES_ARE_FIRMWARE=${are_firmware}
        KA_BUILT_IN_MCORE_VERSION=${mcore_version}
        KA_BUILT_IN_XILINX_VERSION=${xilinx_version})
    # .incbin is invisible to the compiler's dependency scan; name the files so that a
    # changed image rebuilds the object.
    set_property(SOURCE ${_ka_images_source} APPEND PROPERTY
                 OBJECT_DEPENDS "${xilinx_file};${mcore_file}")
endfunction()

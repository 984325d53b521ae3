# ka_library(NAME DIRECTORY [EXCLUDE regex...] [LIBRARIES ...])
# A static library of every .cpp/.c/.S directly in DIRECTORY. A directory with no sources
# yet yields no target, so dependants test for the target with if(TARGET ...).
function(ka_library name directory)
    cmake_parse_arguments(ARG "" "" "EXCLUDE;LIBRARIES;INCLUDES" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS
         ${directory}/*.cpp ${directory}/*.c ${directory}/*.S)
    foreach(pattern IN LISTS ARG_EXCLUDE)
        list(FILTER sources EXCLUDE REGEX "${pattern}")
    endforeach()
    if(NOT sources)
        return()
    endif()
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${directory} ${ARG_INCLUDES})
    foreach(library IN LISTS ARG_LIBRARIES)
        if(TARGET ${library} OR NOT library MATCHES "^ka_")
            target_link_libraries(${name} PUBLIC ${library})
        endif()
    endforeach()
endfunction()

# ka_link_if_present(TARGET lib...): link the ka_ libraries that exist in this build.
function(ka_link_if_present target)
    foreach(library IN LISTS ARGN)
        if(TARGET ${library})
            target_link_libraries(${target} PRIVATE ${library})
        endif()
    endforeach()
endfunction()

# Directories join the build once they have a CMakeLists.txt of their own.
macro(ka_subdirectory directory)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${directory}/CMakeLists.txt)
        add_subdirectory(${directory})
    endif()
endmacro()

# The host build carries a module's compiled resources as a C++ array:
# MinGW's windres compiles the .rc script to a .res file (the same compiler
# and script as the win32 build), and embed.cmake writes its bytes into a
# source that defines FUNCTION (declared in HEADER, found in the .rc's
# folder).
#
#   tovix_host_resources(TARGET name RC file.rc FUNCTION fn HEADER header.h
#                        [INCLUDES dir...] [DEPENDS file...])
# makes the static library TARGET.
find_program(TOVIX_WINDRES i686-w64-mingw32-windres)

function(tovix_host_resources)
    cmake_parse_arguments(arg "" "TARGET;RC;FUNCTION;HEADER" "INCLUDES;DEPENDS" ${ARGN})
    if(NOT TOVIX_WINDRES)
        message(FATAL_ERROR "The host build compiles .rc scripts with MinGW's windres: "
            "install binutils-mingw-w64-i686 and gcc-mingw-w64-i686 (its preprocessor), "
            "or set TOVIX_WINDRES")
    endif()
    get_filename_component(name ${arg_RC} NAME_WE)
    get_filename_component(rc_dir ${arg_RC} DIRECTORY)
    set(res ${CMAKE_CURRENT_BINARY_DIR}/${name}.res)
    set(cpp ${CMAKE_CURRENT_BINARY_DIR}/${name}_res.cpp)
    set(includes -I ${rc_dir})
    foreach(dir ${arg_INCLUDES})
        list(APPEND includes -I ${dir})
    endforeach()
    add_custom_command(
        OUTPUT ${res}
        COMMAND ${TOVIX_WINDRES} -c 65001 ${includes} -O res -i ${arg_RC} -o ${res}
        DEPENDS ${arg_RC} ${arg_DEPENDS}
        COMMENT "Compiling ${name}.rc to ${name}.res"
        VERBATIM)
    add_custom_command(
        OUTPUT ${cpp}
        COMMAND ${CMAKE_COMMAND} -DINPUT=${res} -DOUTPUT=${cpp} -DFUNCTION=${arg_FUNCTION}
                -DHEADER=${arg_HEADER} -P ${CMAKE_SOURCE_DIR}/cmake/embed.cmake
        DEPENDS ${res} ${CMAKE_SOURCE_DIR}/cmake/embed.cmake
        COMMENT "Embedding ${name}.res"
        VERBATIM)
    add_library(${arg_TARGET} STATIC ${cpp})
    target_include_directories(${arg_TARGET} PUBLIC ${rc_dir} ${arg_INCLUDES})
    target_link_libraries(${arg_TARGET} PRIVATE tovix_warnings)
endfunction()

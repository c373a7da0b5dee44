# Installs the built program into a scratch prefix and checks the layout a user relies on.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
set(expected
    lib/talvenor/talvenor lib/talvenor/HAND-M.CUR lib/talvenor/Samples
    bin/talvenor share/applications/talvenor.desktop
    lib/talvenor/talvenor-convert bin/talvenor-convert share/man/man1/talvenor-convert.1
    share/icons/hicolor/48x48/apps/talvenor.png share/icons/hicolor/128x128/apps/talvenor.png
    share/icons/hicolor/scalable/apps/talvenor.svg)
if(EXISTS "${BUILD}/bin/drag.ico")
    list(APPEND expected lib/talvenor/drag.ico)
endif()
foreach(f ${expected})
    if(NOT EXISTS "${PREFIX}/${f}")
        message(FATAL_ERROR "missing after install: ${f}")
    endif()
endforeach()
foreach(program talvenor talvenor-convert)
    if(NOT IS_SYMLINK "${PREFIX}/bin/${program}")
        message(FATAL_ERROR "bin/${program} is not a link")
    endif()
    file(READ_SYMLINK "${PREFIX}/bin/${program}" target)
    if(NOT target STREQUAL "../lib/talvenor/${program}")
        message(FATAL_ERROR "bin/${program} points to ${target}")
    endif()
endforeach()
file(READ "${PREFIX}/share/applications/talvenor.desktop" desktop)
foreach(line "Name=Talvenor Software" "Exec=${PREFIX}/bin/talvenor" "Icon=talvenor" "Type=Application")
    string(FIND "${desktop}" "${line}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the launcher lacks ${line}")
    endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")

# The libraries in layers from the bottom up: a library links only libraries of lower layers,
# so that the core never depends on the window. Checked whenever the build is configured.
set(TALVENOR_LAYERS
    "talvenor_common"
    "talvenor_automation;talvenor_mapi;talvenor_settings;talvenor_fileservices"
    "talvenor_pst"
    "talvenor_engine;talvenor_msg;talvenor_nativestore;talvenor_sourcelist;talvenor_pstwriter"
    "talvenor_storefactory;talvenor_batch;talvenor_mainwindow;talvenor_readerhelper")

function(talvenor_check_layers)
    set(level 0)
    foreach(layer ${TALVENOR_LAYERS})
        foreach(name ${layer})
            set(level_${name} ${level})
        endforeach()
        math(EXPR level "${level} + 1")
    endforeach()
    foreach(layer ${TALVENOR_LAYERS})
        foreach(target ${layer})
            if(NOT TARGET ${target})
                continue()
            endif()
            get_target_property(type ${target} TYPE)
            set(links "")
            if(NOT type STREQUAL "INTERFACE_LIBRARY")
                get_target_property(links ${target} LINK_LIBRARIES)
            endif()
            get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
            foreach(link ${links} ${interface})
                string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
                if(NOT link MATCHES "^talvenor_")
                    continue()
                endif()
                if(NOT DEFINED level_${link})
                    message(FATAL_ERROR "${target} links ${link}, which has no layer in cmake/layers.cmake")
                endif()
                if(NOT level_${link} LESS level_${target})
                    message(FATAL_ERROR "${target} links ${link}, which is not below it (cmake/layers.cmake)")
                endif()
            endforeach()
        endforeach()
    endforeach()
endfunction()

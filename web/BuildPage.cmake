# Builds the command page and the writer's callback page: checks the settings and writes the
# files, with the settings in them, into a folder that any static host can serve.
#
#   cmake -DOUTPUT=<dir> -DAPI_TOKEN=<page's API token> -DURL=<service> -DCONTAINER=<id>
#         -DRECORD_TYPE=<type> [-DLOOPBACK=ON] -P web/BuildPage.cmake
#
# LOOPBACK=ON allows a service at http://127.0.0.1:<port>, for a stand-in of the tests.

set(DROVIX_PAGE_SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}")

function(drovix_build_page output api_token url container record_type loopback)
    # Indented, CMake leaves each message whole on one line.
    if(NOT api_token MATCHES "^[A-Za-z0-9_-]+$")
        message(FATAL_ERROR " The page's API token must be letters, digits, - and _")
    endif()
    string(REGEX REPLACE "/+$" "" url "${url}")
    if(url MATCHES "^(https://[A-Za-z0-9.-]+(:[0-9]+)?)(/[A-Za-z0-9._~/-]*)?$")
        set(origin "${CMAKE_MATCH_1}")
    elseif(loopback AND url MATCHES "^http://127\\.0\\.0\\.1:[0-9]+$")
        set(origin "${url}")
    else()
        message(FATAL_ERROR " The page's service URL ${url} must be https://host[:port][/path]"
                            " (http://127.0.0.1:<port> only for a stand-in behind a unix socket)")
    endif()
    if(NOT container MATCHES "^iCloud\\.[A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)*$")
        message(FATAL_ERROR " The container ${container} must be iCloud. and a bundle identifier")
    endif()
    if(NOT record_type MATCHES "^[A-Za-z][A-Za-z0-9_]*$")
        message(FATAL_ERROR " The record type ${record_type} must be a name: letters, digits and _")
    endif()

    set(API_TOKEN "${api_token}")
    set(URL "${url}")
    set(CONTAINER "${container}")
    set(RECORD_TYPE "${record_type}")
    set(CONNECT_SRC "${origin}")
    if(loopback)
        set(LOOPBACK_JS true)
    else()
        set(LOOPBACK_JS false)
    endif()
    set(source "${DROVIX_PAGE_SOURCE_DIR}")
    configure_file("${source}/index.html" "${output}/index.html" @ONLY)
    configure_file("${source}/settings.js.in" "${output}/settings.js" @ONLY)
    foreach(file callback.html callback.js command.js page.js style.css icon.svg)
        configure_file("${source}/${file}" "${output}/${file}" COPYONLY)
    endforeach()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    foreach(setting OUTPUT API_TOKEN URL CONTAINER RECORD_TYPE)
        if(NOT DEFINED ${setting})
            message(FATAL_ERROR " -D${setting}=… is missing: see the top of ${CMAKE_CURRENT_LIST_FILE}")
        endif()
    endforeach()
    drovix_build_page("${OUTPUT}" "${API_TOKEN}" "${URL}" "${CONTAINER}" "${RECORD_TYPE}"
                      "${LOOPBACK}")
endif()

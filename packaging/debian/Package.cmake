# The Debian package of drovix-command, made by `cpack -G DEB` in a build of it
# (scripts/package-check makes and checks one): the writer, its man page and completions, the
# copyright file, a changelog and lintian's overrides, depending on what dpkg-shlibdeps finds the
# writer needs.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux" OR NOT TARGET drovix-command)
    return()
endif()

set(DROVIX_PACKAGE_MAINTAINER "Drovix's makers <rescue@drovix.com>" CACHE STRING
    "Maintainer of drovix-command's Debian package, as Name <address>")
set(DROVIX_PACKAGE_RELEASE 1 CACHE STRING
    "Debian revision of drovix-command's package: 1 for each new version of the project")

set(folder ${CMAKE_CURRENT_LIST_DIR})
set(doc share/doc/drovix-command)
set(container "iCloud.${DROVIX_MAIN_APP_BUNDLE_IDENTIFIER}")

# Debian wants a changelog of the package's own: one entry, for the version it carries, dated by
# SOURCE_DATE_EPOCH when that is set, so that the same sources make the same package.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian)
file(WRITE ${changelog}.new
    "drovix-command (${PROJECT_VERSION}-${DROVIX_PACKAGE_RELEASE}) unstable; urgency=medium\n\n"
    "  * DrovixRescue ${PROJECT_VERSION}: the changes are in the project's history.\n\n"
    " -- ${DROVIX_PACKAGE_MAINTAINER}  ${date}\n")
execute_process(COMMAND gzip -9nc ${changelog}.new OUTPUT_FILE ${changelog}.gz
                COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${folder}/copyright ${changelog}.gz DESTINATION ${doc})
install(FILES ${folder}/lintian-overrides DESTINATION share/lintian/overrides
        RENAME drovix-command)

if(DROVIX_CLOUDKIT_API_TOKEN)
    set(destination
        "This build saves the record in the private database of the container\n"
        "${container} through CloudKit's web services, where\n"
        "DrovixRescue on a Mac, or on Linux, reads it. Each user signs in once, with\n"
        "drovix-command sign-in.")
else()
    set(destination
        "This build writes the record file of the container ${container}\n"
        "in ~/.local/share/cloud/ on this machine, which DrovixRescue on Linux reads\n"
        "when it is built without a CloudKit API token. It does not reach a Mac.")
endif()
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "sends DrovixRescue a command to start or restart Drovix\n"
    "drovix-command writes the command record that DrovixRescue, the agent inside\n"
    "Drovix, reads to start or restart it, and shows the command waiting there.\n"
    ".\n" ${destination})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME drovix-command)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${DROVIX_PACKAGE_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${DROVIX_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Whatever the umask of the machine that builds it.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)

# The agent bundle's Info.plist and entitlements, written from their templates beside this file.
# Used by the macOS build, and by the Linux build to check them.

# The oldest macOS the agent runs on.
set(DROVIX_MINIMUM_MACOS 26.4)

# Writes Info.plist and DrovixRescue.entitlements into output_dir. team_identifier may be empty;
# when given, the entitlements name the application identifier a signature outside Xcode needs.
function(drovix_configure_bundle_files output_dir minimum_system_version team_identifier)
    set(DROVIX_BUNDLE_IDENTIFIER "${DROVIX_MAIN_APP_BUNDLE_IDENTIFIER}.Rescue")
    set(DROVIX_BUNDLE_VERSION "${PROJECT_VERSION}")
    set(DROVIX_MINIMUM_SYSTEM_VERSION "${minimum_system_version}")
    set(DROVIX_COMMAND_CONTAINER_IDENTIFIER "iCloud.${DROVIX_MAIN_APP_BUNDLE_IDENTIFIER}")
    set(DROVIX_TEAM_ENTITLEMENTS "")
    if(team_identifier)
        string(CONCAT DROVIX_TEAM_ENTITLEMENTS
            "    <key>com.apple.application-identifier</key>\n"
            "    <string>${team_identifier}.${DROVIX_BUNDLE_IDENTIFIER}</string>\n"
            "    <key>com.apple.developer.team-identifier</key>\n"
            "    <string>${team_identifier}</string>\n")
    endif()
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/Info.plist.in ${output_dir}/Info.plist
                   @ONLY)
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/DrovixRescue.entitlements.in
                   ${output_dir}/DrovixRescue.entitlements @ONLY)
endfunction()

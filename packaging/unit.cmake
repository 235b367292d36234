# The systemd unit, installed into the system-unit directory below the installation prefix.
#
# Its ExecStart names the daemon by absolute path, which depends on the prefix in force when
# installing (`cmake --install --prefix` may change it). So the unit is written at install time,
# not at configure time.
set(MARLOX_SYSTEMD_UNIT_DIR "lib/systemd/system"
    CACHE STRING "systemd system-unit directory, relative to the installation prefix or absolute")

install(CODE "
    set(unit_dir \"${MARLOX_SYSTEMD_UNIT_DIR}\")
    set(sbin_dir \"${CMAKE_INSTALL_SBINDIR}\")
    if(NOT IS_ABSOLUTE \"\${unit_dir}\")
        set(unit_dir \"\${CMAKE_INSTALL_PREFIX}/\${unit_dir}\")
    endif()
    if(NOT IS_ABSOLUTE \"\${sbin_dir}\")
        set(sbin_dir \"\${CMAKE_INSTALL_PREFIX}/\${sbin_dir}\")
    endif()
    set(MARLOX_DAEMON \"\${sbin_dir}/marlox-helper\")
    configure_file(\"${CMAKE_CURRENT_LIST_DIR}/marlox-helper.service.in\"
                   \"${CMAKE_BINARY_DIR}/packaging/marlox-helper.service\" @ONLY)
    file(INSTALL DESTINATION \"\${unit_dir}\" TYPE FILE
         FILES \"${CMAKE_BINARY_DIR}/packaging/marlox-helper.service\")
")

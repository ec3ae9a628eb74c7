# Runs at install time, so that the programs named in the D-Bus and systemd files are those of
# the prefix actually installed to (cmake --install --prefix), without any DESTDIR.
set(QMN_BINDIR "${CMAKE_INSTALL_PREFIX}/${QMN_INSTALL_BINDIR}")
set(QMN_PROGRAM_DIR "${CMAKE_INSTALL_PREFIX}/${QMN_INSTALL_PROGRAM_DIR}")
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
foreach(pair
        "dbus/com.quorin.MsgNotification.service.in|${QMN_INSTALL_DATADIR}/dbus-1/services"
        "systemd/quorin-msg-notification.service.in|${QMN_SYSTEMD_USER_UNIT_DIR}"
        "systemd/quorin-msg-notification-query.service.in|${QMN_SYSTEMD_USER_UNIT_DIR}")
    string(REPLACE "|" ";" parts "${pair}")
    list(GET parts 0 template)
    list(GET parts 1 destination)
    get_filename_component(name "${template}" NAME_WLE)
    message(STATUS "Installing: ${root}/${destination}/${name}")
    configure_file("${QMN_DATA_SOURCE_DIR}/${template}" "${root}/${destination}/${name}" @ONLY)
endforeach()

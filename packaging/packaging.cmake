# Install rules and the Debian package: `make package` (mk/package.mk) runs CPack on a
# Release build for amd64 and on the armhf cross build. Dependencies come from the shared
# libraries the binaries use (dpkg-shlibdeps), so they follow whatever the build linked.
include(GNUInstallDirs)

# Private folder: the plug-in and the replacement host are not for other programs to link.
set(KV830_PKG kv830-host)
set(KV830_PRIVATE_LIBDIR "lib/${KV830_PKG}")

install(TARGETS kv830-host plant-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kv830 qdxhost LIBRARY DESTINATION ${KV830_PRIVATE_LIBDIR})
set_target_properties(kv830-host PROPERTIES INSTALL_RPATH "/usr/${KV830_PRIVATE_LIBDIR}")
target_compile_definitions(kv830host_core PRIVATE KV830_PLUGIN_DIR="/usr/${KV830_PRIVATE_LIBDIR}")

install(FILES ${CMAKE_CURRENT_LIST_DIR}/kv830-host.service DESTINATION lib/systemd/system)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/kv830-host.json DESTINATION /etc/kv830)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/logrotate DESTINATION /etc/logrotate.d RENAME ${KV830_PKG})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/sysusers.conf DESTINATION lib/sysusers.d
        RENAME ${KV830_PKG}.conf)

# Manual pages and the changelog are compressed as Debian policy asks, without a time stamp
# so that two builds give the same package.
set(KV830_PKG_GEN ${CMAKE_BINARY_DIR}/packaging)
foreach(page kv830-host.1 plant-sim.1)
  add_custom_command(OUTPUT ${KV830_PKG_GEN}/${page}.gz
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${KV830_PKG_GEN}
                     COMMAND gzip -9n -c ${CMAKE_CURRENT_LIST_DIR}/man/${page} > ${KV830_PKG_GEN}/${page}.gz
                     DEPENDS ${CMAKE_CURRENT_LIST_DIR}/man/${page})
  list(APPEND KV830_PKG_FILES ${KV830_PKG_GEN}/${page}.gz)
  install(FILES ${KV830_PKG_GEN}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
add_custom_command(OUTPUT ${KV830_PKG_GEN}/changelog.gz
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${KV830_PKG_GEN}
                   COMMAND gzip -9n -c ${CMAKE_CURRENT_LIST_DIR}/changelog > ${KV830_PKG_GEN}/changelog.gz
                   DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog)
list(APPEND KV830_PKG_FILES ${KV830_PKG_GEN}/changelog.gz)
add_custom_target(kv830_package_files ALL DEPENDS ${KV830_PKG_FILES})
install(FILES ${KV830_PKG_GEN}/changelog.gz ${CMAKE_CURRENT_LIST_DIR}/copyright
        DESTINATION share/doc/${KV830_PKG})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/${KV830_PKG})
# The README's map of documents points into docs/; the picture of the page stays out (its size).
foreach(doc commissioning monitoring integrator performance development modbus_server alarms)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/${doc}.md DESTINATION share/doc/${KV830_PKG}/docs)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${KV830_PKG})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "kv830 developers <kv830-developers@kv830.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "cooling plant controller poller with its device plug-in")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "kv830-host polls the programmable controller of an evaporative-cooling and\n"
    "chilled-water plant over Modbus RTU or TCP through the kv830.so device\n"
    "plug-in, keeps a flash-friendly SQLite history and publishes every cycle\n"
    "to MQTT, Home Assistant and Prometheus, with a live plant page.\n"
    ".\n"
    "plant-sim simulates the plant controller for commissioning and tests.")
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_BINARY_DIR}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
configure_file(${CMAKE_CURRENT_LIST_DIR}/conffiles.in ${KV830_PKG_GEN}/conffiles @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${KV830_PKG_GEN}/conffiles ${CMAKE_CURRENT_LIST_DIR}/postinst
    ${CMAKE_CURRENT_LIST_DIR}/prerm ${CMAKE_CURRENT_LIST_DIR}/postrm)
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
endif()
include(CPack)

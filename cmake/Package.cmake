# The Debian package: bash scripts/package.sh builds it with CPack.
set(VYR_PACKAGE_MAINTAINER "Vyr MQTT maintainers <maintainers@vyr-mqtt.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vyr-mqtt)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VYR_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # vyr-mqtt_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VYR_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from the binaries; Qt's platform plugins are loaded at
# run time, so no binary names them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mosquitto")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "desktop and command-line MQTT 3.1 client
A small window for MQTT 3.1 brokers, over TCP or TLS: connect, subscribe and
unsubscribe, publish text messages at QoS 0, 1 or 2, and watch the last value
of every topic in a sorted list with a time-stamped log. On request every
received value is appended to a per-topic CSV file.
.
vyr-cli, on the same protocol engine, subscribes and publishes from the
command line with options like those of mosquitto_sub and mosquitto_pub.")

include(CPack)

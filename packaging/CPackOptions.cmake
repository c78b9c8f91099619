# Read by cpack for every generator. A Debian package installs under /usr and
# its configuration under /etc; the programs in it carry those places as
# their defaults, so it can only come from a build configured for them.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR
          "The Debian package needs a build configured with -DCMAKE_INSTALL_PREFIX=/usr "
          "(this one has ${CPACK_PACKAGING_INSTALL_PREFIX})")
endif()

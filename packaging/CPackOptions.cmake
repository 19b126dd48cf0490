# Read by cpack once per generator: the /usr prefix belongs to the Debian package only, the
# source archive keeps the tree at its top.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()

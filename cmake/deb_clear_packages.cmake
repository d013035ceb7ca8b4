# Run by cpack before it makes the Debian packages: removes those an earlier run left in the
# packages' folder (CPACK_PACKAGE_DIRECTORY), so that it holds only the packages of this run,
# also when this tree makes fewer of them than before.
file(GLOB _earlier ${CPACK_PACKAGE_DIRECTORY}/*.deb ${CPACK_PACKAGE_DIRECTORY}/*.ddeb)
if(_earlier)
  file(REMOVE ${_earlier})
endif()

# Run by cpack after it made the Debian packages (CPACK_PACKAGE_FILES), to mend what CPack
# writes otherwise:
# - a package whose trigger file activates ldconfig loses the postinst and postrm that CPack
#   gives every package with a shared library in /usr/lib to call ldconfig: dpkg does that;
# - a -dbgsym package gets the md5sums of its own files (CPack lists absolute paths of its
#   work folder), and its documents folder is a link to that of the package it depends on,
#   whose copyright and changelog cover it, as Debian's -dbgsym packages have it.
# Each package mended is built again from its unpacked tree.

foreach(_deb IN LISTS CPACK_PACKAGE_FILES)
  set(_tree ${_deb}.tree)
  file(REMOVE_RECURSE ${_tree})
  execute_process(COMMAND dpkg-deb -R ${_deb} ${_tree} COMMAND_ERROR_IS_FATAL ANY)
  set(_mended FALSE)

  set(_triggers ${_tree}/DEBIAN/triggers)
  if(EXISTS ${_triggers})
    file(STRINGS ${_triggers} _activates REGEX "^activate-noawait ldconfig$")
    if(_activates)
      file(REMOVE ${_tree}/DEBIAN/postinst ${_tree}/DEBIAN/postrm)
      set(_mended TRUE)
    endif()
  endif()

  if(_deb MATCHES "\\.ddeb$")
    execute_process(COMMAND dpkg-deb -f ${_deb} Package OUTPUT_VARIABLE _package
                    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX REPLACE "-dbgsym$" "" _of ${_package})
    file(MAKE_DIRECTORY ${_tree}/usr/share/doc)
    file(CREATE_LINK ${_of} ${_tree}/usr/share/doc/${_package} SYMBOLIC)
    file(GLOB_RECURSE _files LIST_DIRECTORIES false RELATIVE ${_tree} ${_tree}/usr/*)
    list(SORT _files)
    set(_md5sums "")
    foreach(_file IN LISTS _files)
      if(NOT IS_SYMLINK ${_tree}/${_file})
        file(MD5 ${_tree}/${_file} _md5)
        string(APPEND _md5sums "${_md5}  ${_file}\n")
      endif()
    endforeach()
    file(WRITE ${_tree}/DEBIAN/md5sums "${_md5sums}")
    set(_mended TRUE)
  endif()

  if(_mended)
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b ${_tree} ${_deb}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${_tree})
endforeach()

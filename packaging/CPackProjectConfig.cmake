# Read by cpack while it builds a package, so the choices below are made on the
# machine that builds the package, not the one that configured the tree.

if(CPACK_GENERATOR STREQUAL "DEB")
  # The package's Depends line. dpkg-shlibdeps derives it, with minimum
  # versions, from what the installed programs actually link; CPack needs
  # `file` to find those programs. Without either tool, name the libraries
  # vexlink links by hand. VEXLINK_PACKAGE_NO_SHLIBDEPS=1 forces that path,
  # so it can be checked on a machine that has both.
  find_program(VEXLINK_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(VEXLINK_FILE_COMMAND file)
  if(VEXLINK_DPKG_SHLIBDEPS AND VEXLINK_FILE_COMMAND AND NOT "$ENV{VEXLINK_PACKAGE_NO_SHLIBDEPS}" STREQUAL "1")
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    # soname, then the Debian package that usually holds it. The package that
    # holds it on this machine wins (for example libasound2t64 on newer
    # releases, where the library was renamed).
    set(_vexlink_libs
      "libasound.so.2=libasound2"
      "libopus.so.0=libopus0"
      "libbluetooth.so.3=libbluetooth3"
      "libpipewire-0.3.so.0=libpipewire-0.3-0"
      "libstdc++.so.6=libstdc++6"
      "libgcc_s.so.1=libgcc-s1"
      "libc.so.6=libc6")
    find_program(VEXLINK_DPKG_QUERY dpkg-query)
    set(_vexlink_depends "")
    foreach(_entry IN LISTS _vexlink_libs)
      string(REPLACE "=" ";" _pair "${_entry}")
      list(GET _pair 0 _soname)
      list(GET _pair 1 _package)
      if(VEXLINK_DPKG_QUERY)
        # Only the library of the target architecture (not an i386 or lib32 copy).
        if(CPACK_VEXLINK_MULTIARCH)
          set(_pattern "*/${CPACK_VEXLINK_MULTIARCH}/${_soname}")
        else()
          set(_pattern "*/${_soname}")
        endif()
        execute_process(COMMAND ${VEXLINK_DPKG_QUERY} -S "${_pattern}"
          OUTPUT_VARIABLE _owner ERROR_QUIET RESULT_VARIABLE _rc)
        # "libasound2:amd64: /usr/lib/x86_64-linux-gnu/libasound.so.2"
        if(_rc EQUAL 0 AND _owner MATCHES "^([a-z0-9][a-z0-9+.-]*)(:[a-z0-9]+)?: ")
          set(_package "${CMAKE_MATCH_1}")
        endif()
      endif()
      list(APPEND _vexlink_depends "${_package}")
    endforeach()
    list(REMOVE_DUPLICATES _vexlink_depends)
    list(JOIN _vexlink_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
    message(STATUS "vexlink: dpkg-shlibdeps not used; Depends: ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
  endif()
endif()

# CPack post-build script: repacks the .deb without the postinst and postrm CPack writes.
# CPack gives a package `ldconfig` calls whenever a shared object lies in /usr/lib or one folder
# below it. The module is a plug-in in /usr/lib/tapedeck5500, off the dynamic linker's path, so
# the calls would do nothing on every install and removal (lintian: maintscript-calls-ldconfig).
# A script that does anything besides ldconfig stops the build rather than being dropped.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${deb} ${tree} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${deb} failed")
  endif()
  foreach(script postinst postrm)
    if(NOT EXISTS ${tree}/DEBIAN/${script})
      continue()
    endif()
    file(READ ${tree}/DEBIAN/${script} text)
    string(REGEX REPLACE "#![^\n]*\n|set -e\n|if \\[ \"\\$1\" = \"[a-z]+\" \\]; then\n|\tldconfig\n|fi\n|\n"
           "" rest "${text}")
    if(NOT rest STREQUAL "")
      message(FATAL_ERROR "${script} does more than call ldconfig; not dropping it:\n${text}")
    endif()
    file(REMOVE ${tree}/DEBIAN/${script})
  endforeach()
  execute_process(COMMAND dpkg-deb --root-owner-group -b ${tree} ${deb}
                  OUTPUT_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -b ${tree} failed")
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()

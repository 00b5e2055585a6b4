# Run by CPack after it has installed into its staging folder and before it
# builds the .deb: puts in what Debian policy asks of every package and the
# install rules do not make.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
if(NOT IS_DIRECTORY "${root}/bin")
  message(FATAL_ERROR "no staged programs under ${root}")
endif()
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")

# gzip -n leaves out the name and time, so the same sources give the same bytes.
function(gzip_into source target)
  execute_process(COMMAND gzip -9nc "${source}" OUTPUT_FILE "${target}"
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip ${source}: ${result}")
  endif()
  file(CHMOD "${target}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

file(COPY_FILE "${CPACK_KESTREL_DEBIAN_COPYRIGHT}" "${doc}/copyright")
file(CHMOD "${doc}/copyright" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
gzip_into("${CPACK_KESTREL_DEBIAN_CHANGELOG}" "${doc}/changelog.Debian.gz")

# Man pages go in compressed.
file(GLOB pages "${root}/share/man/man*/*.[1-9]")
foreach(page IN LISTS pages)
  gzip_into("${page}" "${page}.gz")
  file(REMOVE "${page}")
endforeach()

# Runs in CPack after the components are staged, before the packages are
# made: the Python module's RUNPATH (which lets a copy installed under any
# prefix find the libraries) goes, since the packages put the libraries in the
# loader's own directory and Debian forbids search paths in its packages.
file(GLOB_RECURSE modules "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/_native*.so")
foreach(module ${modules})
  file(RPATH_REMOVE FILE ${module})
endforeach()

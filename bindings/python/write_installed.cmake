# Run by cmake --install, once the prefix is final: records where the library
# lies relative to the installed package.
set(package_dir "${TAVRIMEL_DOCX_PACKAGE_DIR}")
set(library "${TAVRIMEL_DOCX_LIBRARY}")
cmake_path(ABSOLUTE_PATH package_dir BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}")
cmake_path(ABSOLUTE_PATH library BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}")
file(RELATIVE_PATH relative "${package_dir}" "${library}")
file(WRITE "${TAVRIMEL_DOCX_INSTALLED_PY}"
  "# Written by cmake --install: the library installed with this package.\n"
  "LIBRARY = \"${relative}\"\n")

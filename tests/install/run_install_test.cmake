# cmake -P script run by the "install" test; the variables come from
# tests/install/CMakeLists.txt.
set(prefix ${WORK_DIR}/prefix)
set(expected_text "Quarterly report")

# Runs a command; stops the test with its output when it fails. With
# EXPECT, its standard output must contain that text.
function(run)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "EXPECT" "COMMAND")
  execute_process(COMMAND ${arg_COMMAND} WORKING_DIRECTORY ${WORK_DIR}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    list(JOIN arg_COMMAND " " shown)
    message(FATAL_ERROR "failed (${rc}): ${shown}\n${out}\n${err}")
  endif()
  if(DEFINED arg_EXPECT AND NOT out MATCHES "${arg_EXPECT}")
    message(FATAL_ERROR "output of ${arg_COMMAND} lacks \"${arg_EXPECT}\":\n${out}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
run(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

string(REGEX REPLACE "\\.[0-9]+\\.[0-9]+$" "" soname_file ${LIBRARY_FILE})
string(REGEX REPLACE "\\.[0-9]+$" "" link_file ${soname_file})
foreach(file
    ${LIBDIR}/${LIBRARY_FILE} ${LIBDIR}/${soname_file} ${LIBDIR}/${link_file}
    ${INCLUDEDIR}/tavrimel_docx.h ${BINDIR}/docx-tools
    ${LIBDIR}/pkgconfig/tavrimel-docx-tools.pc
    ${LIBDIR}/cmake/tavrimel-docx-tools/tavrimel-docx-toolsConfig.cmake
    ${LIBDIR}/cmake/tavrimel-docx-tools/tavrimel-docx-toolsConfigVersion.cmake
    ${PYTHON_DIR}/tavrimel_docx/__init__.py ${PYTHON_DIR}/tavrimel_docx/_installed.py)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
foreach(link ${soname_file} ${link_file})
  if(NOT IS_SYMLINK ${prefix}/${LIBDIR}/${link})
    message(FATAL_ERROR "not a symbolic link: ${LIBDIR}/${link}")
  endif()
endforeach()

# The command runs from the prefix without any library path set.
run(COMMAND ${prefix}/${BINDIR}/docx-tools content --plain ${SAMPLE} EXPECT ${expected_text})

# find_package and the imported target.
run(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -G ${GENERATOR}
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${CONSUMER_FLAGS}")
run(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(COMMAND ${WORK_DIR}/consumer/consumer ${SAMPLE} EXPECT ${expected_text})

# pkg-config, as a Makefile would use it.
run(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig
  ${PKG_CONFIG} --cflags --libs tavrimel-docx-tools)
separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
run(COMMAND ${C_COMPILER} ${CONSUMER_FLAGS} ${CONSUMER_DIR}/consumer.c ${pc_flags}
  -o ${WORK_DIR}/consumer-pkg-config)
run(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR}
  ${WORK_DIR}/consumer-pkg-config ${SAMPLE} EXPECT ${expected_text})

# The Python package finds the library installed with it, and no other.
if(PYTHON)
  set(script [=[
import sys, tavrimel_docx
prefix, sample = sys.argv[1:]
assert tavrimel_docx.__file__.startswith(prefix), tavrimel_docx.__file__
assert tavrimel_docx.library_path().startswith(prefix), tavrimel_docx.library_path()
with tavrimel_docx.Document(sample) as doc:
    print(doc.text())
]=])
  run(COMMAND ${CMAKE_COMMAND} -E env --unset=TAVRIMEL_DOCX_LIBRARY --unset=LD_LIBRARY_PATH
    PYTHONPATH=${prefix}/${PYTHON_DIR} PYTHONDONTWRITEBYTECODE=1 ${PYTHON_HOST_ENV}
    ${PYTHON} -c "${script}" ${prefix} ${SAMPLE} EXPECT ${expected_text})
endif()
file(REMOVE_RECURSE ${WORK_DIR})

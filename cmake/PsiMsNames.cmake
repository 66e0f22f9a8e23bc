# Names of PSI-MS terms, copied from the vocabulary file at configure time so that no source file
# spells them. kestrane_psi_ms_obo(<var>) finds psi-ms.obo; kestrane_psi_ms_name(<var> <obo>
# <accession>) reads the name of one term.
#
# psi-ms.obo is looked for in this order: the CMake variable or environment variable
# KESTRANE_PSI_MS_OBO; /usr/share/openms/CV/psi-ms.obo (Debian's openms-common); the build
# interpreter's pyopenms (share/OpenMS/CV/psi-ms.obo) or psims (controlled_vocabulary/vendor/
# psi-ms.obo.gz, expanded into the build directory).

function(kestrane_psi_ms_obo out_var)
  # A file named explicitly must exist: another vocabulary is never taken in its place.
  set(given "${KESTRANE_PSI_MS_OBO}")
  if(NOT given AND DEFINED ENV{KESTRANE_PSI_MS_OBO})
    set(given "$ENV{KESTRANE_PSI_MS_OBO}")
  endif()
  if(given)
    if(NOT EXISTS "${given}" OR IS_DIRECTORY "${given}")
      message(FATAL_ERROR "KESTRANE_PSI_MS_OBO names ${given}, which is not a file")
    endif()
    set(${out_var} "${given}" PARENT_SCOPE)
    return()
  endif()
  if(EXISTS /usr/share/openms/CV/psi-ms.obo)
    set(${out_var} /usr/share/openms/CV/psi-ms.obo PARENT_SCOPE)
    return()
  endif()

  # The interpreter's packages, located without importing them.
  if(NOT Python_EXECUTABLE)
    find_package(Python COMPONENTS Interpreter QUIET)
  endif()
  if(Python_EXECUTABLE)
    set(locate [=[
import gzip, importlib.util, os, shutil, sys
def package_dir(name):
    spec = importlib.util.find_spec(name)
    if spec is None or not spec.submodule_search_locations:
        return None
    return list(spec.submodule_search_locations)[0]
d = package_dir("pyopenms")
if d and os.path.isfile(os.path.join(d, "share", "OpenMS", "CV", "psi-ms.obo")):
    print(os.path.join(d, "share", "OpenMS", "CV", "psi-ms.obo")); sys.exit(0)
d = package_dir("psims")
packed = os.path.join(d, "controlled_vocabulary", "vendor", "psi-ms.obo.gz") if d else ""
if packed and os.path.isfile(packed):
    with gzip.open(packed, "rb") as src, open(sys.argv[1], "wb") as dst:
        shutil.copyfileobj(src, dst)
    print(sys.argv[1]); sys.exit(0)
sys.exit(1)
]=])
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -c "${locate}" "${CMAKE_BINARY_DIR}/psi-ms.obo"
      OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status
      ERROR_QUIET)
    if(status EQUAL 0 AND EXISTS "${found}")
      set(${out_var} "${found}" PARENT_SCOPE)
      return()
    endif()
  endif()
  message(FATAL_ERROR
    "psi-ms.obo not found: the converter copies the names of two PSI-MS terms from it. Install "
    "Debian's openms-common (/usr/share/openms/CV/psi-ms.obo), or pyopenms or psims for the "
    "build interpreter, or set KESTRANE_PSI_MS_OBO (CMake or environment variable) to the "
    "file.")
endfunction()

# The `name:` line of the [Term] stanza whose `id:` is <accession>; fails when there is none.
function(kestrane_psi_ms_name out_var obo accession)
  file(READ "${obo}" text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(FIND "${text}" "\nid: ${accession}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${obo}: no term ${accession}")
  endif()
  string(SUBSTRING "${text}" ${at} -1 stanza)
  string(FIND "${stanza}" "\n\n" end)
  if(NOT end EQUAL -1)
    string(SUBSTRING "${stanza}" 0 ${end} stanza)
  endif()
  if(NOT stanza MATCHES "\nname: ([^\n]+)")
    message(FATAL_ERROR "${obo}: term ${accession} has no name")
  endif()
  set(name "${CMAKE_MATCH_1}")
  string(STRIP "${name}" name)
  set(${out_var} "${name}" PARENT_SCOPE)
endfunction()

# <name> escaped for a C++ string literal.
function(kestrane_cxx_literal out_var text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

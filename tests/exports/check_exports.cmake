# Checks what the built shared library offers to hosts against the export list in ostrasync.def.
#   cmake -DLIBRARY=<file> -DTOOL=<nm|objdump> -DFORMAT=<elf|pe> -DSOURCE_DIR=<repo> -P check_exports.cmake
# ELF (nm -D --defined-only): the dynamic symbol table defines exactly the listed names, so no
#   C++ internals (std:: templates, our namespaces) leak out and become part of the ABI.
# PE (objdump -p): the export table holds exactly the listed names, undecorated, and the DLL
#   imports only Windows system DLLs, so it loads without the MinGW runtime DLLs beside it.
# It also checks that ostrasync.map (the ELF linker's list) names the same functions as the .def.
cmake_minimum_required(VERSION 3.25)

foreach(var LIBRARY TOOL FORMAT SOURCE_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_exports.cmake: -D${var}=... is required")
  endif()
endforeach()

set(problems "")

# --- The expected list, from the .def file ---------------------------------------------------
file(STRINGS "${SOURCE_DIR}/src/ostrasync.def" def_lines)
set(expected "")
set(in_exports FALSE)
foreach(line IN LISTS def_lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "EXPORTS")
    set(in_exports TRUE)
  elseif(in_exports AND line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)")
    list(APPEND expected "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT expected)
list(LENGTH expected expected_count)
if(expected_count EQUAL 0)
  message(FATAL_ERROR "no exports found in ostrasync.def")
endif()

# --- ostrasync.map must list the same names ---------------------------------------------------
file(READ "${SOURCE_DIR}/src/ostrasync.map" map_text)
set(map_names "")
if(map_text MATCHES "global:([^}]*)local: *\\* *;")
  string(REPLACE ";" " " map_global "${CMAKE_MATCH_1}")
  string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" map_names "${map_global}")
  list(SORT map_names)
endif()
if(NOT map_names STREQUAL expected)
  string(APPEND problems "ostrasync.map and ostrasync.def disagree:\n  map: ${map_names}\n  def: ${expected}\n")
endif()

# --- What the library actually exports --------------------------------------------------------
set(actual "")
if(FORMAT STREQUAL "elf")
  execute_process(COMMAND "${TOOL}" -D --defined-only "${LIBRARY}"
                  OUTPUT_VARIABLE out RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} failed on ${LIBRARY}: ${err}")
  endif()
  string(REPLACE "\n" ";" lines "${out}")
  foreach(line IN LISTS lines)
    # "<address> <type> <name>[@version]"
    if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^ @]+)")
      list(APPEND actual "${CMAKE_MATCH_1}")
    endif()
  endforeach()
elseif(FORMAT STREQUAL "pe")
  execute_process(COMMAND "${TOOL}" -p "${LIBRARY}"
                  OUTPUT_VARIABLE out RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} failed on ${LIBRARY}: ${err}")
  endif()
  string(REPLACE "\n" ";" lines "${out}")
  set(in_names FALSE)
  set(imports "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(in_names TRUE)
    elseif(in_names AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] (.+)$")
      list(APPEND actual "${CMAKE_MATCH_1}")
    elseif(in_names)
      set(in_names FALSE)
    endif()
    if(line MATCHES "DLL Name: (.+)$")
      list(APPEND imports "${CMAKE_MATCH_1}")
    endif()
  endforeach()

  # System DLLs present on every supported Windows. A DLL missing from this list is either a
  # toolchain runtime that was not linked statically (libstdc++-6, libgcc_s_seh-1, libwinpthread-1)
  # or a new system dependency, which should be added here on purpose.
  set(allowed advapi32 bcrypt cfgmgr32 comctl32 comdlg32 crypt32 gdi32 kernel32 kernelbase msvcrt
              ntdll ole32 oleaut32 propsys rpcrt4 secur32 shell32 shlwapi ucrtbase user32 userenv
              version ws2_32)
  list(REMOVE_DUPLICATES imports)
  foreach(dll IN LISTS imports)
    string(TOLOWER "${dll}" name)
    string(REGEX REPLACE "\\.dll$" "" name "${name}")
    if(name MATCHES "^(api|ext)-ms-win-")
      continue()
    endif()
    if(NOT name IN_LIST allowed)
      string(APPEND problems "imports ${dll}, which is not a Windows system DLL\n")
    endif()
  endforeach()
  message(STATUS "imports: ${imports}")
else()
  message(FATAL_ERROR "FORMAT must be elf or pe")
endif()

list(SORT actual)
set(missing ${expected})
if(actual)
  list(REMOVE_ITEM missing ${actual})
endif()
set(extra ${actual})
list(REMOVE_ITEM extra ${expected})
list(LENGTH actual actual_count)
if(missing)
  string(APPEND problems "missing exports: ${missing}\n")
endif()
if(extra)
  list(LENGTH extra extra_count)
  list(SUBLIST extra 0 20 extra_shown)
  string(APPEND problems "${extra_count} unexpected export(s), e.g.: ${extra_shown}\n")
endif()

if(problems)
  message(FATAL_ERROR "${LIBRARY}:\n${problems}")
endif()
message(STATUS "${LIBRARY}: exactly the ${expected_count} listed exports")

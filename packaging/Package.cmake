# Makes KORVEN-<VERSION>-<ARCH>-setup.exe and KORVEN-<VERSION>-<ARCH>.zip in
# OUTPUT_DIR from the built programs (run by the target `packages`):
#   1. stages the files in STAGE_DIR/KORVEN-<VERSION>-<ARCH>/: the programs
#      (without debugging sections when STRIP is given),
#      the sample INI, the guides as UTF-8 text with a BOM, the live viewer
#      and README.txt (texts with CR LF line ends);
#   2. runs makensis on KORVEN.nsi and zips the staged folder;
#   3. lists both with 7z (when found) and fails if a file is missing.
foreach(var VERSION ARCH NSIS_TARGET MAKENSIS SOURCE_DIR STAGE_DIR OUTPUT_DIR KORVEN_EXE PROXY_DLL
            DDECLIENT_EXE WINDRIVER_EXE OPCSIM_EXE OPCBROWSE_EXE)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "Package.cmake: ${var} is not set")
  endif()
endforeach()

set(name KORVEN-${VERSION}-${ARCH})
set(stage ${STAGE_DIR}/${name})
set(installer ${OUTPUT_DIR}/${name}-setup.exe)
set(zip ${OUTPUT_DIR}/${name}.zip)
set(programs ${KORVEN_EXE} ${PROXY_DLL} ${DDECLIENT_EXE} ${WINDRIVER_EXE} ${OPCSIM_EXE}
             ${OPCBROWSE_EXE})
set(texts KORVEN.sample.ini guide-en.txt guide-ja.txt live-viewer.cmd)
set(installed KORVEN.exe KorvenOpcPS.dll ddeclient.exe windriver.exe opcsim.exe opcbrowse.exe
              ${texts})

file(REMOVE_RECURSE ${STAGE_DIR})
file(MAKE_DIRECTORY ${stage} ${OUTPUT_DIR})
file(REMOVE ${installer} ${zip})
file(COPY ${programs} DESTINATION ${stage})
# Without their debugging sections the programs are a fraction of the size.
if(STRIP)
  foreach(program ${programs})
    get_filename_component(file ${program} NAME)
    execute_process(COMMAND ${STRIP} --strip-debug ${stage}/${file} RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${STRIP} failed on ${file}")
    endif()
  endforeach()
endif()

string(ASCII 239 187 191 bom)

# Writes the text of `source` (UTF-8) to `target` with CR LF line ends and,
# when asked, a byte order mark; an existing mark is not doubled.
function(write_text source target with_bom)
  file(READ ${source} head LIMIT 3 HEX)
  file(READ ${source} text)
  if(head STREQUAL "efbbbf")
    string(SUBSTRING "${text}" 3 -1 text)
  endif()
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  if(with_bom)
    set(text "${bom}${text}")
  endif()
  file(WRITE ${target} "${text}")
endfunction()

write_text(${SOURCE_DIR}/packaging/KORVEN.sample.ini ${stage}/KORVEN.sample.ini OFF)
write_text(${SOURCE_DIR}/packaging/live-viewer.cmd ${stage}/live-viewer.cmd OFF)
write_text(${SOURCE_DIR}/docs/guide.en.md ${stage}/guide-en.txt ON)
write_text(${SOURCE_DIR}/docs/guide.ja.md ${stage}/guide-ja.txt ON)

if(ARCH STREQUAL "x86")
  string(CONCAT REGSVR32_NOTE "This is the 32-bit build: on 64-bit Windows run\n"
                "%SystemRoot%\\SysWOW64\\regsvr32.exe, and look for the key below\n"
                "under HKEY_CLASSES_ROOT\\WOW6432Node.\n")
else()
  string(CONCAT REGSVR32_NOTE "This is the 64-bit build: it registers the DLL for 64-bit\n"
                "programs such as this KORVEN.exe.\n")
endif()
configure_file(${SOURCE_DIR}/packaging/README.txt ${STAGE_DIR}/README.in.txt @ONLY)
write_text(${STAGE_DIR}/README.in.txt ${stage}/README.txt OFF)
file(REMOVE ${STAGE_DIR}/README.in.txt)

# The name of the mutex a running KORVEN.exe holds: setup and uninstall wait
# for it to end rather than replace or remove a running program.
file(STRINGS ${SOURCE_DIR}/app/Bridge.h mutex_line REGEX "kInstanceMutexName = \"[^\"]+\"")
string(REGEX MATCH "\"([^\"]+)\"" unused "${mutex_line}")
if(NOT CMAKE_MATCH_1)
  message(FATAL_ERROR "no kInstanceMutexName in app/Bridge.h")
endif()

execute_process(
  COMMAND ${MAKENSIS} -V2 -INPUTCHARSET UTF8 -DVERSION=${VERSION} -DARCH=${ARCH}
          -DNSIS_TARGET=${NSIS_TARGET} -DSTAGE=${stage} -DOUTFILE=${installer}
          -DINSTANCE_MUTEX=${CMAKE_MATCH_1}
          ${SOURCE_DIR}/packaging/KORVEN.nsi
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "makensis failed (${rc})")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip ${name}
                WORKING_DIRECTORY ${STAGE_DIR} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "zip failed (${rc})")
endif()

# Each listing names every file.
if(SEVENZIP)
  foreach(archive ${installer} ${zip})
    execute_process(COMMAND ${SEVENZIP} l -ba ${archive} OUTPUT_VARIABLE listing
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "7z cannot list ${archive}")
    endif()
    set(expected ${installed})
    if("${archive}" STREQUAL "${zip}")
      list(APPEND expected README.txt)
    endif()
    foreach(file ${expected})
      string(REPLACE "." "\\." pattern "${file}")
      if(NOT listing MATCHES "[ /\\\\]${pattern}\r?\n")
        message(FATAL_ERROR "${file} is missing from ${archive}:\n${listing}")
      endif()
    endforeach()
  endforeach()
endif()
message(STATUS "KORVEN ${VERSION} ${ARCH}: ${installer}, ${zip}")

# Included by tests/CMakeLists.txt (the x86_64 cross build): the host fuzz
# targets of this folder, configured for this machine with clang, their
# bounded run as a CTest case on the host (not under Wine), and the Windows
# program that writes their seed corpus (tests/fuzz/make-seeds.sh).
include(ExternalProject)
set(KORVEN_FUZZ_HOST_DIR ${CMAKE_BINARY_DIR}/fuzz-host)
ExternalProject_Add(fuzz_host
  SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}
  BINARY_DIR ${KORVEN_FUZZ_HOST_DIR}
  CMAKE_ARGS -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
  INSTALL_COMMAND ""
  # The sources live in the tree beside the bridge's: let the host build
  # decide what changed on every build.
  BUILD_ALWAYS ON)

foreach(target stream section)
  add_test(NAME fuzz.${target}
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/bounded-run.sh ${KORVEN_FUZZ_HOST_DIR}/${target}_fuzz
      ${CMAKE_CURRENT_LIST_DIR}/seeds/${target} ${CMAKE_BINARY_DIR}/fuzz-run/${target})
  set_tests_properties(fuzz.${target} PROPERTIES TIMEOUT 300)
endforeach()

add_executable(fuzz_seed_writer EXCLUDE_FROM_ALL ${CMAKE_CURRENT_LIST_DIR}/seed_writer.cpp)
target_link_libraries(fuzz_seed_writer PRIVATE opcsim_core)

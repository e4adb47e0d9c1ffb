# What a Windows build takes from elsewhere when the target has no package
# for it. Included by the top-level CMakeLists on Windows.
# - nlohmann-json is headers only: its CMake package when there is one, else
#   the folder holding nlohmann/json.hpp (ARDENTIX_NLOHMANN_DIR; the build
#   machine's /usr/include in a cross build).
# - GoogleTest, in a cross build: built from Debian's source package.

find_package(nlohmann_json 3 QUIET)
if(NOT TARGET nlohmann_json::nlohmann_json)
  # Only the nlohmann folder is put on the include path: the build machine's
  # /usr/include as a whole must not shadow the target's headers.
  find_path(ARDENTIX_NLOHMANN_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ARDENTIX_NLOHMANN_DIR)
    message(FATAL_ERROR "nlohmann/json.hpp not found: set ARDENTIX_NLOHMANN_DIR to the folder that holds nlohmann/ "
                        "(Debian: package nlohmann-json3-dev)")
  endif()
  set(_json_include ${CMAKE_BINARY_DIR}/third_party/include)
  file(MAKE_DIRECTORY ${_json_include})
  file(COPY ${ARDENTIX_NLOHMANN_DIR}/nlohmann DESTINATION ${_json_include})
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_json_include})
endif()

if(ARDENTIX_TESTS AND CMAKE_CROSSCOMPILING AND NOT TARGET GTest::gtest)
  set(ARDENTIX_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
  if(NOT EXISTS ${ARDENTIX_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${ARDENTIX_GOOGLETEST_SOURCE} (Debian package googletest)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${ARDENTIX_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(_t gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${_t})
      add_library(GTest::${_t} ALIAS ${_t})
    endif()
  endforeach()
endif()

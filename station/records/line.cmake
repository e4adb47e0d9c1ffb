# The line's shared database (PostgreSQL through libpq). Built where libpq is
# found, never for Windows (line_db_posix.cpp waits on the socket with poll);
# elsewhere the link and the line source say that this build has none.
if(NOT WIN32)
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(LIBPQ QUIET IMPORTED_TARGET libpq)
  endif()
  if(NOT LIBPQ_FOUND)
    find_package(PostgreSQL QUIET)
  endif()
endif()

set(_line ${CMAKE_CURRENT_LIST_DIR})
# The record's fields, shared by the local file and the line's database, and
# the line's table and address as text (no libpq needed).
add_library(ardentix_record_fields STATIC ${_line}/record_fields.cpp ${_line}/line_schema.cpp ${_line}/line_address.cpp)
target_include_directories(ardentix_record_fields PUBLIC ${CMAKE_SOURCE_DIR}/station)
if(LIBPQ_FOUND OR PostgreSQL_FOUND)
  set(ARDENTIX_HAVE_LINE ON CACHE INTERNAL "The line database part is built")
  add_library(ardentix_records_line STATIC
    ${_line}/line_db_posix.cpp ${_line}/line_sender.cpp ${_line}/line_source_pg.cpp ${_line}/line_status.cpp)
  if(LIBPQ_FOUND)
    target_link_libraries(ardentix_records_line PUBLIC PkgConfig::LIBPQ)
  else()
    target_link_libraries(ardentix_records_line PUBLIC PostgreSQL::PostgreSQL)
  endif()
else()
  set(ARDENTIX_HAVE_LINE OFF CACHE INTERNAL "The line database part is built")
  add_library(ardentix_records_line STATIC ${_line}/line_status.cpp ${_line}/line_link_none.cpp)
  if(EXISTS ${_line}/line_source_none.cpp)
    target_sources(ardentix_records_line PRIVATE ${_line}/line_source_none.cpp)
  endif()
endif()
target_include_directories(ardentix_records_line PUBLIC ${CMAKE_SOURCE_DIR}/station)
target_link_libraries(ardentix_records_line PUBLIC ardentix_core ardentix_record_fields nlohmann_json::nlohmann_json)

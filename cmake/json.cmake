# nlohmann-json, for the CLI and the tests. It is header-only, so one copy
# serves every processor: a cross build whose target tree lacks it takes the
# build machine's. Those headers are copied to a directory of their own,
# since handing the build machine's whole include directory to a cross
# compiler would mix that machine's C library headers into the target's.
find_package(nlohmann_json 3 QUIET)
if(NOT nlohmann_json_FOUND AND CMAKE_CROSSCOMPILING)
  find_path(TARNEL_BUILD_HOST_JSON_INCLUDE nlohmann/json.hpp NO_CMAKE_FIND_ROOT_PATH)
  if(TARNEL_BUILD_HOST_JSON_INCLUDE)
    set(_json_copy ${PROJECT_BINARY_DIR}/build-host-headers)
    file(COPY ${TARNEL_BUILD_HOST_JSON_INCLUDE}/nlohmann DESTINATION ${_json_copy})
    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
    target_include_directories(nlohmann_json::nlohmann_json INTERFACE ${_json_copy})
  endif()
endif()
if(NOT TARGET nlohmann_json::nlohmann_json)
  message(FATAL_ERROR "nlohmann-json 3 not found (Debian package nlohmann-json3-dev)")
endif()

# The library: one archive built from the parts in numerics/, estimation/, parallel/,
# run/ and formats/, installed with its public headers (include/kelvarodine/) and a
# package configuration, so that find_package(Kelvarodine) gives
# Kelvarodine::kelvarodine.
include(CMakePackageConfigHelpers)
find_package(Threads REQUIRED)

# What the project's own code sees: the source tree (internal headers by folder) and
# the public headers, the generated one included.
add_library(kelv_internal INTERFACE)
target_include_directories(kelv_internal INTERFACE ${PROJECT_SOURCE_DIR}
                           ${PROJECT_SOURCE_DIR}/include ${PROJECT_BINARY_DIR}/include)

set(KELV_LIBRARY_PARTS "")
# kelv_library_part(NAME): the sources of the calling folder as part NAME of the library.
function(kelv_library_part name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(kelv_${name} OBJECT ${sources})
  target_link_libraries(kelv_${name} PRIVATE kelv_internal)
  set_property(GLOBAL APPEND PROPERTY KELV_LIBRARY_PARTS kelv_${name})
endfunction()

configure_file(${PROJECT_SOURCE_DIR}/include/kelvarodine/version.hpp.in
               ${PROJECT_BINARY_DIR}/include/kelvarodine/version.hpp @ONLY)

# Called once every part has been added.
function(kelv_add_library)
  get_property(parts GLOBAL PROPERTY KELV_LIBRARY_PARTS)
  set(objects "")
  foreach(part IN LISTS parts)
    list(APPEND objects $<TARGET_OBJECTS:${part}>)
  endforeach()
  add_library(kelv_library STATIC ${objects})
  set_target_properties(kelv_library PROPERTIES OUTPUT_NAME kelvarodine EXPORT_NAME kelvarodine)
  target_include_directories(kelv_library PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(kelv_library PUBLIC cxx_std_20)
  get_property(links GLOBAL PROPERTY KELV_LIBRARY_LINKS)
  target_link_libraries(kelv_library PUBLIC Threads::Threads ${links})
  add_library(Kelvarodine::kelvarodine ALIAS kelv_library)

  file(GLOB headers ${PROJECT_SOURCE_DIR}/include/kelvarodine/*.hpp)
  install(FILES ${headers} ${PROJECT_BINARY_DIR}/include/kelvarodine/version.hpp
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kelvarodine)
  install(TARGETS kelv_library EXPORT KelvarodineTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Kelvarodine)
  install(EXPORT KelvarodineTargets NAMESPACE Kelvarodine:: DESTINATION ${config_dir})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KelvarodineConfig.cmake.in
                                ${PROJECT_BINARY_DIR}/KelvarodineConfig.cmake
                                INSTALL_DESTINATION ${config_dir})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/KelvarodineConfigVersion.cmake
                                   COMPATIBILITY SameMinorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/KelvarodineConfig.cmake
                ${PROJECT_BINARY_DIR}/KelvarodineConfigVersion.cmake
          DESTINATION ${config_dir})
endfunction()

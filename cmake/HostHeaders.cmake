# For the Windows cross build: the header-only libraries installed as Debian packages, made
# visible one by one. Adding /usr/include itself would let Linux's own headers shadow MinGW's.

set(VT_HOST_INCLUDE_DIR ${CMAKE_BINARY_DIR}/host-include)

# Makes /usr/include/<Relative> visible as <Relative> to whatever links Target.
function(vt_host_header Target Relative)
  if(NOT EXISTS /usr/include/${Relative})
    message(FATAL_ERROR "/usr/include/${Relative} is missing (run scripts/bootstrap)")
  endif()
  get_filename_component(parent ${VT_HOST_INCLUDE_DIR}/${Relative} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK /usr/include/${Relative} ${VT_HOST_INCLUDE_DIR}/${Relative} SYMBOLIC)
  if(NOT TARGET ${Target})
    add_library(${Target} INTERFACE IMPORTED GLOBAL)
    target_include_directories(${Target} SYSTEM INTERFACE ${VT_HOST_INCLUDE_DIR})
  endif()
endfunction()

vt_host_header(nlohmann_json::nlohmann_json nlohmann)

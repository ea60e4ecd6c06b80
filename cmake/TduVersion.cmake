# The version resource and manifest of a Windows program of ours, stamped with a version of four numbers,
# "major.minor.build.revision". Windows Installer replaces an installed versioned file only with a higher
# file version, and compares only the first three numbers of a package's version (major and minor up to
# 255, build up to 65535); the example package takes the same version, so the same limits hold here.
set(TDU_VERSION_TEMPLATE_DIR ${CMAKE_CURRENT_LIST_DIR}/../platform/win32)

function(tdu_check_version version)
  set(number "(0|[1-9][0-9]*)")
  set(refused "")
  if(NOT version MATCHES "^${number}\\.${number}\\.${number}\\.${number}$")
    set(refused "is not four numbers major.minor.build.revision")
  elseif(CMAKE_MATCH_1 GREATER 255 OR CMAKE_MATCH_2 GREATER 255 OR CMAKE_MATCH_3 GREATER 65535
         OR CMAKE_MATCH_4 GREATER 65535)
    string(CONCAT refused "is out of range: a package version takes major and minor up to 255, build up to "
                          "65535; a file version takes revision up to 65535")
  endif()
  if(refused)
    # A refused value must not stay in the cache, where every later configure would meet it again.
    if(version STREQUAL "$CACHE{TDU_VERSION}")
      unset(TDU_VERSION CACHE)
      string(APPEND refused " (not kept: without -DTDU_VERSION the next configure takes the project's "
                            "version)")
    endif()
    message(FATAL_ERROR "TDU_VERSION \"${version}\" ${refused}")
  endif()
endfunction()

# Adds the resource script (version resource and "asInvoker" manifest) to a target.
function(tdu_version_resource target version)
  tdu_check_version("${version}")
  string(REPLACE "." "," TDU_VERSION_COMMAS "${version}")
  set(TDU_VERSION_DOTTED "${version}")
  set(TDU_MANIFEST_PATH "${CMAKE_CURRENT_BINARY_DIR}/${target}.exe.manifest")
  configure_file(${TDU_VERSION_TEMPLATE_DIR}/TavrinDriverUtil.exe.manifest ${TDU_MANIFEST_PATH} @ONLY)
  configure_file(${TDU_VERSION_TEMPLATE_DIR}/TavrinDriverUtil.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc
                 @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
endfunction()

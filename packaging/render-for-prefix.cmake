# Install-time helper of gw_install_for_prefix(): copies _gw_src to _gw_out
# with every /usr/local path rewritten for CMAKE_INSTALL_PREFIX.
file(READ "${_gw_src}" _gw_text)
string(REGEX REPLACE "/+$" "" _gw_prefix "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/usr/local([/\n\t '\"]|$)" "${_gw_prefix}\\1" _gw_text "${_gw_text}")
file(WRITE "${_gw_out}" "${_gw_text}")

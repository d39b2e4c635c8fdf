# Run by "cmake --install": the default settings file and the data folders.
#
# With a system prefix (/, /usr, /usr/local) they go where the engine looks
# without being told: /etc/quorvane and /var/lib/quorvane.  Under any other
# prefix they stay inside it (<prefix>/etc/quorvane, <prefix>/var/lib/quorvane)
# and the installed settings file names the folders there.  DESTDIR is put
# in front of every path.  An existing quorvane.ini is never replaced.

if(CMAKE_INSTALL_PREFIX MATCHES "^/(usr(/local)?)?/*$")
  set(qv_root "")
else()
  string(REGEX REPLACE "/+$" "" qv_root "${CMAKE_INSTALL_PREFIX}")
endif()
set(qv_etc "${qv_root}/etc/quorvane")
set(qv_data "${qv_root}/var/lib/quorvane")

foreach(folder html ftp gopher logs temp)
  message(STATUS "Installing: $ENV{DESTDIR}${qv_data}/${folder}")
  file(MAKE_DIRECTORY "$ENV{DESTDIR}${qv_data}/${folder}")
endforeach()

set(qv_ini "$ENV{DESTDIR}${qv_etc}/quorvane.ini")
if(EXISTS "${qv_ini}")
  message(STATUS "Keeping: ${qv_ini}")
else()
  message(STATUS "Installing: ${qv_ini}")
  file(READ "${CMAKE_CURRENT_LIST_DIR}/quorvane.ini" qv_text)
  string(REPLACE "/var/lib/quorvane/" "${qv_data}/" qv_text "${qv_text}")
  file(MAKE_DIRECTORY "$ENV{DESTDIR}${qv_etc}")
  file(WRITE "${qv_ini}" "${qv_text}")
  # The service user reads it; it holds no secrets until users are added.
  file(CHMOD "${qv_ini}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${qv_ini}")
endif()

# SPDX-License-Identifier: GPL-3.0-or-later
# The settings file and the INI reader and writer under it: plain C++, no Qt, so the tests can use it
# without the windows. Included from the CMakeLists of app/ and of the settings tests.
add_library(sondeco_settings STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ini_file.cpp ${CMAKE_CURRENT_LIST_DIR}/ini_file.h
  ${CMAKE_CURRENT_LIST_DIR}/settings_file.cpp ${CMAKE_CURRENT_LIST_DIR}/settings_file.h
  ${CMAKE_CURRENT_LIST_DIR}/settings_fields.h
)
sondeco_warnings(sondeco_settings)

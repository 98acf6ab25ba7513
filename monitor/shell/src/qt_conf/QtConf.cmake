# Generates the program's own qt.conf from the Qt it is built with. Qt reads a qt.conf resource
# before a qt.conf beside the program; with every path written out it changes nothing except that
# a qt.conf dropped into the program folder is never read. Sets VELMOR_QT_CONF_QRC (empty when
# qtpaths cannot be found: the program then has no qt.conf of its own).
set(VELMOR_QT_CONF_QRC "")
set(velmor_qtpaths "")
if(TARGET Qt6::qtpaths)
  get_target_property(velmor_qtpaths Qt6::qtpaths IMPORTED_LOCATION)
endif()
if(NOT velmor_qtpaths)
  find_program(velmor_qtpaths NAMES qtpaths6 qtpaths HINTS /usr/lib/qt6/bin)
endif()
if(velmor_qtpaths)
  execute_process(COMMAND "${velmor_qtpaths}" --query OUTPUT_VARIABLE velmor_query RESULT_VARIABLE velmor_result)
endif()
if(velmor_qtpaths AND velmor_result EQUAL 0)
  # qt.conf key = qtpaths variable
  set(velmor_keys Prefix=QT_INSTALL_PREFIX Documentation=QT_INSTALL_DOCS Headers=QT_INSTALL_HEADERS
      Libraries=QT_INSTALL_LIBS LibraryExecutables=QT_INSTALL_LIBEXECS Binaries=QT_INSTALL_BINS
      Plugins=QT_INSTALL_PLUGINS QmlImports=QT_INSTALL_QML ArchData=QT_INSTALL_ARCHDATA Data=QT_INSTALL_DATA
      Translations=QT_INSTALL_TRANSLATIONS Examples=QT_INSTALL_EXAMPLES Tests=QT_INSTALL_TESTS
      Settings=QT_INSTALL_CONFIGURATION)
  set(VELMOR_QT_CONF_PATHS "")
  foreach(pair IN LISTS velmor_keys)
    string(REPLACE "=" ";" pair "${pair}")
    list(GET pair 0 key)
    list(GET pair 1 variable)
    string(REGEX MATCH "(^|\n)${variable}:([^\n]*)" match "${velmor_query}")
    set(value "${CMAKE_MATCH_2}")
    # An empty configuration folder means the system's default one.
    if(key STREQUAL "Settings" AND value STREQUAL "")
      set(value "/etc/xdg")
    endif()
    if(NOT value STREQUAL "")
      string(APPEND VELMOR_QT_CONF_PATHS "${key}=${value}\n")
    endif()
  endforeach()
  set(VELMOR_QT_CONF_FILE "${CMAKE_CURRENT_BINARY_DIR}/qt_conf/qt.conf")
  configure_file("${CMAKE_CURRENT_LIST_DIR}/qt.conf.in" "${VELMOR_QT_CONF_FILE}" @ONLY)
  set(VELMOR_QT_CONF_QRC "${CMAKE_CURRENT_BINARY_DIR}/qt_conf/qt_conf.qrc")
  configure_file("${CMAKE_CURRENT_LIST_DIR}/qt_conf.qrc.in" "${VELMOR_QT_CONF_QRC}" @ONLY)
else()
  message(WARNING "qtpaths not found: velmor gets no qt.conf of its own, and reads one beside it")
endif()

# Qt's own Korean texts (standard buttons "예"/"아니요", "확인"/"취소", the print dialog) come from
# the installed Qt (Debian: qt6-translations-l10n). A copy ships in P/translations as the fall-back
# for a system whose Qt lacks them; both programs look there after Qt's own folder.
set(VELMOR_QT_TRANSLATION_FILES qtbase_ko.qm)
set(VELMOR_TRANSLATIONS_DIR "${VELMOR_PROGRAM_DIR}/translations")

get_target_property(_velmor_qtpaths Qt6::qtpaths LOCATION)
execute_process(COMMAND "${_velmor_qtpaths}" --query QT_INSTALL_TRANSLATIONS
                OUTPUT_VARIABLE VELMOR_QT_TRANSLATIONS_SOURCE OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE _velmor_qtpaths_result)
if(NOT _velmor_qtpaths_result EQUAL 0 OR NOT VELMOR_QT_TRANSLATIONS_SOURCE)
  set(VELMOR_QT_TRANSLATIONS_SOURCE "/usr/share/qt6/translations")
endif()

set(_velmor_copied_translations)
foreach(file IN LISTS VELMOR_QT_TRANSLATION_FILES)
  if(NOT EXISTS "${VELMOR_QT_TRANSLATIONS_SOURCE}/${file}")
    message(FATAL_ERROR "${VELMOR_QT_TRANSLATIONS_SOURCE}/${file} is missing: "
                        "install qt6-translations-l10n (scripts/install-deps.sh)")
  endif()
  add_custom_command(OUTPUT "${VELMOR_TRANSLATIONS_DIR}/${file}"
                     COMMAND "${CMAKE_COMMAND}" -E make_directory "${VELMOR_TRANSLATIONS_DIR}"
                     COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${VELMOR_QT_TRANSLATIONS_SOURCE}/${file}"
                             "${VELMOR_TRANSLATIONS_DIR}/${file}"
                     DEPENDS "${VELMOR_QT_TRANSLATIONS_SOURCE}/${file}"
                     COMMENT "Shipping Qt's ${file} in the program folder")
  list(APPEND _velmor_copied_translations "${VELMOR_TRANSLATIONS_DIR}/${file}")
endforeach()
add_custom_target(velmor_qt_translations ALL DEPENDS ${_velmor_copied_translations})

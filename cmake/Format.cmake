# `format` rewrites every tracked C and C++ file in the style of .clang-format; `format-check`
# fails when any file differs from it.
add_custom_target(format COMMAND ${PROJECT_SOURCE_DIR}/scripts/format.sh WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
add_custom_target(format-check COMMAND ${PROJECT_SOURCE_DIR}/scripts/format.sh --check
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})

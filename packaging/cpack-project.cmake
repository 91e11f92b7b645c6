# Read by cpack before it makes a package (CPACK_PROJECT_CONFIG_FILE), however
# it is run: `--target package`, the release target or cpack by hand. The
# package's dates are SOURCE_DATE_EPOCH, from packaging/changelog unless the
# environment sets it, so that `--target package` makes the same bytes as the
# release does.
include("${CMAKE_CURRENT_LIST_DIR}/source-date-epoch.cmake")
garden_count_source_date_epoch(epoch)
set(ENV{SOURCE_DATE_EPOCH} ${epoch})

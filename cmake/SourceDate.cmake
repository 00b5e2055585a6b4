# The date of the sources, for the dates the package and its metadata carry
# (the AppStream release, the Debian changelog). SOURCE_DATE_EPOCH wins when
# the build sets it; otherwise the last commit's date, so that two builds of
# the same commit make the same files; outside a git checkout, today.
set(_kestrel_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(_kestrel_epoch STREQUAL "")
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE _kestrel_epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET RESULT_VARIABLE _kestrel_git_result)
    if(NOT _kestrel_git_result EQUAL 0)
      set(_kestrel_epoch "")
    endif()
  endif()
endif()

# string(TIMESTAMP) formats only "now" or SOURCE_DATE_EPOCH, so the epoch goes
# through the environment for the two calls and is put back afterwards.
set(_kestrel_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(NOT _kestrel_epoch STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} "${_kestrel_epoch}")
endif()
string(TIMESTAMP KESTREL_SOURCE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP KESTREL_SOURCE_DATE_RFC2822 "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${_kestrel_saved_epoch}")

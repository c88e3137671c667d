cmake_minimum_required(VERSION 3.16)
# Run at every build (cmake -P): the one version of the agent, the tool and
# the packages. The project's version, with the git revision when built from
# a checkout: 1.0.0+git<commits>.<hash>, a Debian version that grows with
# every commit; ".dirty" when the checkout has changes not committed.
# Writes, each only when its content changes (so nothing is rebuilt for
# nothing):
#   OUT_DIR/FwVersion.h           FWAGENT_VERSION for the programs
#   OUT_DIR/version.txt           the same for the package build
#   OUT_DIR/changelog.Debian.gz   the packages' changelog entry for it
# Inputs: SOURCE_DIR, OUT_DIR, BASE_VERSION, SOURCE_NAME, MAINTAINER.
set(version ${BASE_VERSION})
set(revision "")
set(epoch "")
find_program(GIT git)
if(GIT AND EXISTS ${SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --short=10 HEAD
                  OUTPUT_VARIABLE hash RESULT_VARIABLE rc_hash OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-list --count HEAD
                  OUTPUT_VARIABLE count RESULT_VARIABLE rc_count OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} status --porcelain --untracked-files=no
                  OUTPUT_VARIABLE changes ERROR_QUIET)
  if(rc_hash EQUAL 0 AND rc_count EQUAL 0)
    set(revision ${hash})
    set(version "${version}+git${count}.${hash}")
    if(NOT changes STREQUAL "")
      set(version "${version}.dirty")
    endif()
  endif()
endif()

function(write_if_changed path content)
  if(EXISTS ${path})
    file(READ ${path} old)
    if(old STREQUAL content)
      return()
    endif()
  endif()
  file(WRITE ${path} "${content}")
endfunction()

file(MAKE_DIRECTORY ${OUT_DIR})
write_if_changed(${OUT_DIR}/FwVersion.h
  "// Generated at build time by cmake/version.cmake.\n#pragma once\n#define FWAGENT_VERSION \"${version}\"\n")
write_if_changed(${OUT_DIR}/version.txt "${version}")

# The changelog is dated by the commit (or SOURCE_DATE_EPOCH), so a rebuild
# of one revision gives the same bytes.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch $ENV{SOURCE_DATE_EPOCH})
elseif(epoch STREQUAL "")
  set(epoch 0)
endif()
set(ENV{SOURCE_DATE_EPOCH} ${epoch})
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
if(revision STREQUAL "")
  set(what "Built from a source tree without revision control.")
else()
  set(what "Built from git revision ${revision}.")
endif()
set(changelog "${SOURCE_NAME} (${version}) unstable; urgency=medium\n\n  * ${what}\n\n -- ${MAINTAINER}  ${date}\n")
if(NOT EXISTS ${OUT_DIR}/changelog.Debian OR NOT EXISTS ${OUT_DIR}/changelog.Debian.gz)
  file(REMOVE ${OUT_DIR}/changelog.Debian)
endif()
write_if_changed(${OUT_DIR}/changelog.Debian "${changelog}")
if(NOT EXISTS ${OUT_DIR}/changelog.Debian.gz OR ${OUT_DIR}/changelog.Debian IS_NEWER_THAN ${OUT_DIR}/changelog.Debian.gz)
  execute_process(COMMAND gzip -9nc ${OUT_DIR}/changelog.Debian OUTPUT_FILE ${OUT_DIR}/changelog.Debian.gz RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip of the changelog failed")
  endif()
endif()

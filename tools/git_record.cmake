# Writes the source revision of the build as Kel source text that the boot
# runs to fill system/build/git (branch, tag, ahead, date, commit, message).
# Run by the build on every build; the output is rewritten only when the
# revision changed, so an unchanged checkout rebuilds nothing. Sources that
# are not a git checkout (or a machine without git) give an empty record and
# system/build/git stays none.
# Inputs: SOURCE_DIR, OUTPUT.

set(record "")
find_program(GIT_PROGRAM git)

function(git_out var)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C TZ=UTC ${GIT_PROGRAM} -C ${SOURCE_DIR} ${ARGN}
                  OUTPUT_VARIABLE out RESULT_VARIABLE status ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(status EQUAL 0)
    set(${var} "${out}" PARENT_SCOPE)
  else()
    set(${var} "" PARENT_SCOPE)
  endif()
endfunction()

# Kel string literal: the caret is the escape character
function(kel_string var text)
  string(REPLACE "^" "^^" text "${text}")
  string(REPLACE "\"" "^\"" text "${text}")
  string(REPLACE "\n" "^/" text "${text}")
  set(${var} "\"${text}\"" PARENT_SCOPE)
endfunction()

if(GIT_PROGRAM)
  # sources unpacked inside some other checkout are no checkout of their own
  git_out(top rev-parse --show-toplevel)
  file(REAL_PATH "${SOURCE_DIR}" source_real)
  if(top)
    file(REAL_PATH "${top}" top)
  endif()
  if(top STREQUAL source_real)
    git_out(commit rev-parse HEAD)
  endif()
endif()
if(commit MATCHES "^[0-9a-f]+$")
  git_out(branch rev-parse --abbrev-ref HEAD)
  git_out(tag describe --tags --abbrev=0)
  if(tag)
    git_out(ahead rev-list --count ${tag}..HEAD)
    kel_string(tag_text "${tag}")
    set(tag_text "to issue! ${tag_text}")
  else()
    git_out(ahead rev-list --count HEAD)
    set(tag_text "none")
  endif()
  if(NOT ahead MATCHES "^[0-9]+$")
    set(ahead 0)
  endif()
  git_out(date log -1 --format=%cd --date=format-local:%d-%b-%Y/%H:%M:%S)
  git_out(subject log -1 --format=%s)
  kel_string(branch_text "${branch}")
  kel_string(subject_text "${subject}")
  if(NOT date MATCHES "^[0-9]+-[A-Za-z]+-[0-9]+/[0-9:]+$")
    set(date "none")
  else()
    set(date "${date}+00:00")
  endif()
  set(record "system/build/git: make object! [branch: ${branch_text} tag: ${tag_text} ahead: ${ahead} date: ${date} commit: #${commit} message: ${subject_text}]")
endif()

# a raw string literal: the delimiter must not occur in the text
string(REPLACE ")git\"" ")git \"" record "${record}")
set(content "R\"git(${record})git\"\n")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
else()
  set(old "")
endif()
if(NOT old STREQUAL content)
  file(WRITE ${OUTPUT} "${content}")
endif()

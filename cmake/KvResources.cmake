# Program resources from .rc files, on every host.
#
#   kv_add_resources(<target> <file.rc> [DEPENDS <target-or-file>...])
#
# Windows: the .rc is compiled by windres and linked into <target>.
# Elsewhere: kvrcgen (cmake/kvrcgen.cpp) turns the .rc into a C++ source that
# registers its raw-data items, FILEVERSION and version strings with
# kv::host (kvlib/platform/kvresources.h) at start-up; <target> must therefore
# link the kv library, and must be an executable (a static library would drop
# the registering object).
#
# A relative data-file path in the .rc is looked up first beside the .rc, then
# in ${KV_RESOURCE_DIR} (build/<preset>/resources), where targets put blobs
# that are made during the build.  The 64-bit stub is one of them:
# ${KV_X64STUB_EXE}, made by the target kv_x64stub_file; a .rc that names
# "kvX64stub.exe" gets that dependency by itself; a native build, which makes
# no stub, embeds the stand-in ${KV_X64STUB_STANDIN} instead.  Other made blobs
# need their producing target in DEPENDS.
include_guard(GLOBAL)

set(KV_RESOURCE_DIR ${CMAKE_BINARY_DIR}/resources)
set(KV_X64STUB_EXE ${KV_RESOURCE_DIR}/kvX64stub.exe)
set(KV_X64STUB_STANDIN ${CMAKE_CURRENT_LIST_DIR}/kvx64stub-standin.txt)
file(MAKE_DIRECTORY ${KV_RESOURCE_DIR})

if(NOT WIN32 AND NOT TARGET kvrcgen)
  # A host tool: created before any sanitizer or fuzzer flags are added.
  add_executable(kvrcgen ${CMAKE_CURRENT_LIST_DIR}/kvrcgen.cpp)
  set_target_properties(kvrcgen PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
endif()

# Lists the data files named by the .rc's raw-data lines, resolved the way
# windres and kvrcgen resolve them.  Sets <out_names> and <out_files>.
function(_kv_rc_data_files rc out_names out_files)
  get_filename_component(rcdir ${rc} DIRECTORY)
  file(STRINGS ${rc} lines)
  set(options "([ \t]+(PRELOAD|LOADONCALL|FIXED|MOVEABLE|DISCARDABLE|PURE|IMPURE|SHARED|NONSHARED))*")
  set(pattern "^[ \t]*([A-Za-z0-9_]+|\"[^\"]*\")[ \t]+(RCDATA|RT_RCDATA|RT_MANIFEST|HTML|RT_HTML|[0-9]+)${options}[ \t]+(\"[^\"]+\"|[A-Za-z0-9_./\\\\][^ \t\",]*)[ \t]*$")
  set(names)
  set(files)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "[ \t]*//.*$" "" line "${line}")
    if(NOT line MATCHES "${pattern}")
      continue()
    endif()
    set(name "${CMAKE_MATCH_1}")
    set(path "${CMAKE_MATCH_5}")
    string(REGEX REPLACE "^\"(.*)\"$" "\\1" name "${name}")
    string(REGEX REPLACE "^\"(.*)\"$" "\\1" path "${path}")
    string(REPLACE "\\\\" "/" path "${path}")
    string(REPLACE "\\" "/" path "${path}")
    if(name MATCHES "^[0-9]+$")
      set(name "#${name}")
    endif()
    if(IS_ABSOLUTE "${path}")
      set(file "${path}")
    elseif(EXISTS "${rcdir}/${path}")
      set(file "${rcdir}/${path}")
    else()
      set(file "${KV_RESOURCE_DIR}/${path}")
    endif()
    list(APPEND names "${name}")
    list(APPEND files "${file}")
  endforeach()
  set(${out_names} "${names}" PARENT_SCOPE)
  set(${out_files} "${files}" PARENT_SCOPE)
endfunction()

function(kv_add_resources target rc)
  cmake_parse_arguments(PARSE_ARGV 2 ARG "" "" "DEPENDS")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kv_add_resources(${target} ${rc}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  get_filename_component(rc ${rc} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  get_filename_component(rcdir ${rc} DIRECTORY)
  get_filename_component(rcname ${rc} NAME_WE)
  # The list of data files is read at configure time: reconfigure on edits.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${rc})

  _kv_rc_data_files(${rc} names files)
  set(deps ${ARG_DEPENDS})
  set(skip_args)
  set(data_files)
  foreach(name file IN ZIP_LISTS names files)
    if(file STREQUAL KV_X64STUB_EXE)
      if(TARGET kv_x64stub_file)
        list(APPEND deps kv_x64stub_file)
      elseif(WIN32)
        message(FATAL_ERROR "${rc}: ${name} needs the 64-bit stub, but no target kvX64stub exists")
      else()
        # No native build of the stub: a stand-in takes its place, so that a
        # native program can write it out and the simulated machine, which
        # runs the stub's requests in-process, can recognise it.
        configure_file(${KV_X64STUB_STANDIN} ${KV_X64STUB_EXE} COPYONLY)
      endif()
    endif()
    list(APPEND data_files ${file})
  endforeach()
  list(REMOVE_DUPLICATES deps)

  if(WIN32)
    target_sources(${target} PRIVATE ${rc})
    # windres reports no dependencies of its own.
    set_property(SOURCE ${rc} TARGET_DIRECTORY ${target} APPEND PROPERTY OBJECT_DEPENDS ${data_files})
    target_include_directories(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:RC>:${rcdir}> $<$<COMPILE_LANGUAGE:RC>:${KV_RESOURCE_DIR}>)
  else()
    set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_${rcname}_rc.cpp)
    add_custom_command(
      OUTPUT ${out}
      COMMAND kvrcgen --rc ${rc} --out ${out} --depfile ${out}.d -I ${rcdir} -I ${KV_RESOURCE_DIR} ${skip_args}
      DEPENDS kvrcgen ${rc} ${data_files} ${deps}
      DEPFILE ${out}.d
      COMMENT "Generating the resource table of ${target} from ${rcname}.rc"
      VERBATIM)
    target_sources(${target} PRIVATE ${out})
  endif()
  if(deps)
    foreach(dep IN LISTS deps)
      if(TARGET ${dep})
        add_dependencies(${target} ${dep})
      endif()
    endforeach()
  endif()
endfunction()

# Embeds the 64-bit stub into <target> as the raw-data resource "KVX64STUB",
# byte for byte (the stand-in in a native build); the stub is made first.
#
#   kv_embed_x64stub(<target>)
function(kv_embed_x64stub target)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_x64stub.rc)
  file(CONFIGURE OUTPUT ${rc} CONTENT "// Generated by kv_embed_x64stub.\nKVX64STUB RCDATA \"kvX64stub.exe\"\n")
  kv_add_resources(${target} ${rc})
endfunction()

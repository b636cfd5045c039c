# The .def files of the Windows DLLs: the 18 functions by name at ordinals
# 1-18, then the whole interface of the cJSON library linked in, from 19 on,
# sorted by name (upper-case before lower-case). The 32-bit DLLs export
# cJSON under its decorated stdcall names ("_cJSON_Parse@4"); x64 has no
# decoration. Both a .def for the link and one for the import library.

# Name and argument bytes (32-bit stdcall decoration) in ordinal order.
set(TARNLINK_EXPORT_TABLE
  VELA_OpenDevice:12 VELA_CloseDevice:4 VELA_GetDeviceInf:8 VELA_InitCAN:12 VELA_StartCAN:4
  VELA_ResetCAN:4 VELA_ClearBuffer:4 VELA_ReadChannelErrInfo:8 VELA_ReadChannelStatus:8
  VELA_Transmit:12 VELA_Receive:16 VELA_TransmitFD:12 VELA_ReceiveFD:16 GetIProperty:4
  ReleaseIProperty:4 VELA_GetReference:20 VELA_SetReference:20 VELA_GetReceiveNum:8)

# The cJSON functions defined in the static library `archive`, as
# "name symbol" pairs sorted by name (the symbol carries the decoration).
function(tarnlink_cjson_functions archive out)
  execute_process(COMMAND ${CMAKE_NM} -g --defined-only ${archive}
    OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot list the symbols of ${archive}")
  endif()
  string(REGEX MATCHALL "[0-9a-f]+ T _?cJSON_[A-Za-z0-9_]+(@[0-9]+)?" lines "${listing}")
  set(pairs)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[0-9a-f]+ T " "" symbol "${line}")
    string(REGEX REPLACE "^_?(cJSON_[A-Za-z0-9_]+).*$" "\\1" name "${symbol}")
    # A space sorts before every character of a name: "Parse" before "ParseWith".
    list(APPEND pairs "${name} ${symbol}")
  endforeach()
  list(REMOVE_DUPLICATES pairs)
  list(SORT pairs)
  set(${out} "${pairs}" PARENT_SCOPE)
endfunction()

# Writes <dir>/<name>.def (link) and <dir>/<name>-import.def (import library).
function(tarnlink_windows_def name archive dir)
  set(x86 OFF)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(x86 ON)
  endif()
  set(link "LIBRARY ${name}.dll\nEXPORTS\n")
  set(import "LIBRARY ${name}.dll\nEXPORTS\n")
  set(ordinal 1)
  foreach(entry IN LISTS TARNLINK_EXPORT_TABLE)
    string(REPLACE ":" ";" parts "${entry}")
    list(GET parts 0 fn)
    list(GET parts 1 bytes)
    if(x86)
      string(APPEND link "  ${fn} = ${fn}@${bytes} @${ordinal}\n")
      string(APPEND import "  ${fn}@${bytes} @${ordinal} == ${fn}\n")
    else()
      string(APPEND link "  ${fn} @${ordinal}\n")
      string(APPEND import "  ${fn} @${ordinal}\n")
    endif()
    math(EXPR ordinal "${ordinal} + 1")
  endforeach()
  tarnlink_cjson_functions(${archive} functions)
  foreach(pair IN LISTS functions)
    string(REPLACE " " ";" parts "${pair}")
    list(GET parts 1 symbol)
    if(x86)
      # In a .def file a 32-bit symbol is named without its leading underscore.
      string(REGEX REPLACE "^_" "" plain "${symbol}")
      string(APPEND link "  ${symbol} = ${plain} @${ordinal}\n")
      string(APPEND import "  ${plain} @${ordinal} == ${symbol}\n")
    else()
      string(APPEND link "  ${symbol} @${ordinal}\n")
      string(APPEND import "  ${symbol} @${ordinal}\n")
    endif()
    math(EXPR ordinal "${ordinal} + 1")
  endforeach()
  file(WRITE ${dir}/${name}.def "${link}")
  file(WRITE ${dir}/${name}-import.def "${import}")
endfunction()

# cmake -DPROGRAM=FILE -DMAP=LINK_MAP -DNM=NM -P CheckNoCxxLibrary.cmake: fails, and deletes
# PROGRAM so that the next build links it anew, when the link took anything from the C++ library
# (a member of libstdc++ or libsupc++ in the link map) or the program holds one of its symbols
# (the std namespace, operator new and delete, the exception runtime).
set(found "")
file(STRINGS "${MAP}" archive_lines REGEX "lib(std|sup)c\\+\\+[^/]*\\.a\\(")
if(archive_lines)
  list(GET archive_lines 0 first)
  string(STRIP "${first}" first)
  set(found " the link took ${first}")
endif()
execute_process(COMMAND ${NM} "${PROGRAM}" OUTPUT_VARIABLE symbols ERROR_QUIET)
set(cxx_symbol "_ZSt|_ZNSt|_ZNKSt|_Znw|_Zna|_Zdl|_Zda|__gxx_personality")
string(APPEND cxx_symbol "|__cxa_(guard|throw|begin_catch|pure_virtual)")
string(REGEX MATCH "[ \t](${cxx_symbol})[^\n]*" symbol "${symbols}")
if(symbol)
  string(STRIP "${symbol}" symbol)
  string(APPEND found " the program holds ${symbol}")
endif()
if(found)
  file(REMOVE "${PROGRAM}")
  message(FATAL_ERROR "${PROGRAM} must not use the C++ library:${found}")
endif()

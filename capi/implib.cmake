# The import library of the 32-bit zmscan.dll. A C caller's stdcall references are decorated
# (_ZMS_pszRecord@4) while the DLL exports the undecorated names of zmscan.def, which the import
# library that the linker writes also carries: dlltool --kill-at writes one that maps each
# decorated name to its export. The decorated names are read from the objects that define them.
#
#   cmake -DNM=... -DDLLTOOL=... "-DOBJECT=a.obj;b.obj" -DDLL=zmscan.dll -DDEF=... -DOUT=... -P
execute_process(COMMAND ${NM} -g --defined-only ${OBJECT} OUTPUT_VARIABLE symbols
                COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "_ZMS_[A-Za-z]+@[0-9]+" names "${symbols}")
list(REMOVE_DUPLICATES names)
list(TRANSFORM names REPLACE "^_" "  ")
list(JOIN names "\n" exports)
file(WRITE ${DEF} "LIBRARY ${DLL}\nEXPORTS\n${exports}\n")
execute_process(COMMAND ${DLLTOOL} --kill-at --def ${DEF} --dllname ${DLL} --output-lib ${OUT}
                COMMAND_ERROR_IS_FATAL ANY)

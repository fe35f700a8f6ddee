# Run at install time (install(SCRIPT)): writes tqdatafile.pc for the prefix being
# installed to.  CMAKE_INSTALL_PREFIX is the one given to `cmake --install --prefix`, or
# the configured one; the TQ_PC_* values come from the install(CODE) just before.
foreach(dir IN ITEMS LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${TQ_PC_${dir}}")
    set(TQ_PC_ABS_${dir} "${TQ_PC_${dir}}")
  else()
    set(TQ_PC_ABS_${dir} "${CMAKE_INSTALL_PREFIX}/${TQ_PC_${dir}}")
  endif()
endforeach()
set(TQ_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
# One slash between the parts, none at the end.
foreach(var IN ITEMS TQ_PC_PREFIX TQ_PC_ABS_LIBDIR TQ_PC_ABS_INCLUDEDIR)
  string(REGEX REPLACE "/+" "/" ${var} "${${var}}")
  string(REGEX REPLACE "(.)/$" "\\1" ${var} "${${var}}")
endforeach()
configure_file("${TQ_PC_TEMPLATE}" "${TQ_PC_OUTPUT}" @ONLY)

# Settings-file reader tests. The reader is compiled in directly, so these tests need
# nothing of the application beyond the runtime library.
ftpupg_add_test(inifile_test
  SOURCES inifile_test.cpp ${PROJECT_SOURCE_DIR}/app/IniFile.cpp
  LIBS rtl)
target_include_directories(inifile_test PRIVATE ${PROJECT_SOURCE_DIR}/app)

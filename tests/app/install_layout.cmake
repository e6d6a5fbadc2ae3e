# Installs the build into a scratch prefix and checks the layout a launcher needs:
# the programs in bin/ (the console beside its sound helper), the bundled agent beside
# them in share/, the desktop entry and its icon, and no virtual environment or bytecode
# caches copied along.
set(prefix "${WORK_DIR}/install-root")
file(REMOVE_RECURSE "${prefix}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc})")
endif()
foreach(f bin/tessaly-antivirus bin/tessaly-sound share/tessaly-antivirus/agent/main.py
          share/tessaly-antivirus/agent/__init__.py share/applications/tessaly-antivirus.desktop
          share/icons/hicolor/scalable/apps/tessaly-antivirus.svg)
  if(NOT EXISTS "${prefix}/${f}")
    message(FATAL_ERROR "missing ${f}")
  endif()
endforeach()
file(GLOB_RECURSE installed LIST_DIRECTORIES true "${prefix}/share/tessaly-antivirus/*")
set(stray ${installed})
list(FILTER stray INCLUDE REGEX "/(__pycache__|\\.venv)(/|$)")
if(stray)
  message(FATAL_ERROR "copied caches: ${stray}")
endif()
file(READ "${prefix}/share/applications/tessaly-antivirus.desktop" entry)
foreach(key "Exec=tessaly-antivirus" "Icon=tessaly-antivirus" "Categories=System;Security;")
  string(FIND "${entry}" "${key}" at)
  if(at LESS 0)
    message(FATAL_ERROR "desktop entry lacks ${key}")
  endif()
endforeach()
file(REMOVE_RECURSE "${prefix}")

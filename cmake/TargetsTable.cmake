# The table of targets in docs/design.md, written from the targets themselves: each library
# and program outside tests/ and bench/, its folder, what it is and what it links, lowest layer
# first (a target links only targets above it). The build writes it to targets.md; the test
# design_targets_table fails when docs/design.md's copy differs, and
# scripts/targets-table.sh BUILD_DIR puts the new one into docs/design.md.

# What each target is; a target without an entry shows an empty cell.
set(FTPUPG_TARGET_ROLES
  rtl "runtime: exceptions, integer and address text, streams, code page 1252, the generated version header"
  optionhelp "every program's help in an operator's words and its manual page's part (CLI11 formatter)"
  posix "descriptor owner, bound UDP sockets, address text, signals taken as data (signalfd), clearing a neighbour entry (posix_spawn)"
  idnet "work events, the anti-freeze's hook, socket stack over BSD sockets (error codes and texts, call wrappers, readiness wait: one file each), socket handle, UDP endpoint"
  idtftp "TFTP packets, upload state machines, TFTP client and sender, the failure kinds, an upload's figures and their JSON"
  devwire "device wire format: datagram framing, request frames, reply fields"
  ndxlcore "the device library's socket-free parts: settings, broadcast targets, reply queue"
  ndxl "device messaging library (shared, C ABI)"
  devexchange "a front end's session with the device library, diagnostic lines"
  upgrade "the upgrade's rules both front ends share: device check (window and tool policies), transfer verdict (from the failure kinds), the results and their names, defaults, operator texts"
  simdevice "simulated device: discovery/password responder"
  simtftp "simulated device: TFTP write server"
  simprogram "the simulators' stop signals, port file, share option, the TFTP server's link fault switches and command line"
  appsettings "settings reader, small text files, progress arithmetic (no Qt)"
  appdevice "the window's handlers of the device library's replies, over the upgrade core (no Qt)"
  ftpupg_ui "TForm1, application object, message boxes, PumpWait, Qt anti-freeze (Qt Widgets)"
  fleetcore "fleet rules: address lists, discovery table, password encoding, retries, exit status, progress text"
  fleet "the commands, one device's upgrade, the fleet's discovery, the process-per-device scheduler, console, report"
  ftpupg "the window"
  ftpupg-cli "fleet upgrades"
  tftpput "one file to a TFTP server"
  ftpupg-simdev "simulated device"
  ftpupg-simtftpd "simulated TFTP server"
  ftpupg-lossy-relay "lossy UDP relay")

function(ftpupg_collect_targets dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${sub})
    if(rel MATCHES "^(tests|bench)(/|$)")
      continue()
    endif()
    ftpupg_collect_targets(${sub} more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(ftpupg_write_targets_table file)
  ftpupg_collect_targets(${PROJECT_SOURCE_DIR} all)
  set(ours)
  foreach(t IN LISTS all)
    get_target_property(type ${t} TYPE)
    if(type MATCHES "^(STATIC_LIBRARY|SHARED_LIBRARY|INTERFACE_LIBRARY|EXECUTABLE)$")
      list(APPEND ours ${t})
    endif()
  endforeach()
  # Direct links: our targets and Qt by name, the rest (threads, option and JSON parsers) left out.
  foreach(t IN LISTS ours)
    get_target_property(links ${t} LINK_LIBRARIES)
    set(shown)
    foreach(l IN LISTS links)
      if(l IN_LIST ours OR l MATCHES "^Qt6::")
        list(APPEND shown ${l})
      endif()
    endforeach()
    set(links_${t} ${shown})
  endforeach()
  # Layer: 0 for a target that links none of ours, else one above the highest it links.
  set(pending ${ours})
  set(placed)
  set(level 0)
  set(rows)
  while(pending)
    set(now)
    foreach(t IN LISTS pending)
      set(ready TRUE)
      foreach(l IN LISTS links_${t})
        if(l IN_LIST ours AND NOT l IN_LIST placed)
          set(ready FALSE)
        endif()
      endforeach()
      if(ready)
        list(APPEND now ${t})
      endif()
    endforeach()
    if(NOT now)
      message(FATAL_ERROR "targets link each other in a cycle: ${pending}")
    endif()
    foreach(t IN LISTS now)
      get_target_property(type ${t} TYPE)
      get_target_property(src ${t} SOURCE_DIR)
      file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${src})
      list(FIND FTPUPG_TARGET_ROLES ${t} at)
      set(role "")
      if(at GREATER_EQUAL 0)
        math(EXPR at "${at} + 1")
        list(GET FTPUPG_TARGET_ROLES ${at} role)
      endif()
      if(type STREQUAL "SHARED_LIBRARY")
        set(kind "shared library")
      elseif(type STREQUAL "EXECUTABLE")
        set(kind "program")
      else()
        set(kind "library")
      endif()
      list(JOIN links_${t} ", " joined)
      string(APPEND rows "| `${t}` | ${kind} | `${folder}/` | ${role} | ${joined} |\n")
    endforeach()
    list(APPEND placed ${now})
    list(REMOVE_ITEM pending ${now})
  endwhile()
  file(WRITE ${file}.new "| Target | Kind | Folder | What | Links |\n|---|---|---|---|---|\n${rows}")
  file(COPY_FILE ${file}.new ${file} ONLY_IF_DIFFERENT)
  file(REMOVE ${file}.new)
endfunction()

ftpupg_write_targets_table(${PROJECT_BINARY_DIR}/targets.md)

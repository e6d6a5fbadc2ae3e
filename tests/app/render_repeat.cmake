# A render at a fixed --time does not depend on when it is made: the snapshot tool renders
# the whole dashboard (tall enough to show the engine table, the heatmap and the ticker)
# twice with the same --time, a second and a half of wall time apart, from replies whose
# timestamps lie seconds before the wall clock (so that any age read from the wall clock
# would move between the two), and the two images must be byte for byte the same.
string(TIMESTAMP now "%s" UTC)
math(EXPR recent "${now} - 5")
math(EXPR older "${now} - 3700")
math(EXPR at "${now} + 20")
set(data "${WORK_DIR}/render-repeat.json")
file(WRITE "${data}" "{
 \"summary\": {\"threats_total\": 1, \"threats_active\": 1, \"quarantined\": 0, \"threats_last_24h\": 1, \"events_last_24h\": 2},
 \"threats\": [{\"id\": 1, \"ts\": ${recent}, \"kind\": \"yara\", \"severity\": \"high\", \"status\": \"detected\", \"path\": \"/home/ana/x.bin\"}],
 \"events\": [{\"id\": 2, \"ts\": ${recent}, \"source\": \"file\", \"action\": \"threat_detected\", \"target\": \"/home/ana/x.bin\"},
              {\"id\": 1, \"ts\": ${older}, \"source\": \"scan\", \"action\": \"scanned\"}],
 \"metrics.live\": {\"uptime_seconds\": 100.0, \"files_scanned_since_boot\": 10, \"files_per_second\": 1.0,
   \"engines\": {\"yara\": {\"hits\": 1, \"last\": ${recent}}},
   \"engine_breakdown\": {\"yara\": {\"last24h\": 1, \"total\": 1, \"last_ts\": ${recent}}},
   \"agent\": {\"pid\": 7, \"cpu\": 1.0, \"rss\": 1048576, \"threads\": 3, \"fds\": 9, \"uptime_seconds\": 100.0},
   \"system\": {\"cpu_percent\": 10.0, \"cpu_count\": 2, \"ram_used\": 1, \"ram_total\": 2, \"ram_percent\": 50.0,
               \"disk_used\": 1, \"disk_total\": 2, \"disk_percent\": 50.0, \"net_bytes_sent_per_sec\": 0.0,
               \"net_bytes_recv_per_sec\": 0.0}},
 \"settings.get\": {\"realtime_enabled\": true, \"ai_engine_enabled\": true, \"auto_quarantine\": true}
}")
foreach(run first second)
  execute_process(COMMAND "${SNAPSHOT}" --data "${data}" --tab dashboard --size 1180x2600 --time ${at}
                          --out "${WORK_DIR}/render-repeat-${run}.png"
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "tessaly-snapshot failed (${rc})")
  endif()
  if(run STREQUAL "first")
    execute_process(COMMAND "${CMAKE_COMMAND}" -E sleep 1.5)
  endif()
endforeach()
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${WORK_DIR}/render-repeat-first.png"
                        "${WORK_DIR}/render-repeat-second.png" RESULT_VARIABLE same)
if(NOT same EQUAL 0)
  message(FATAL_ERROR "two renders at the same --time differ: render-repeat-first.png, render-repeat-second.png")
endif()

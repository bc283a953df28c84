# The libraries of the tests that reach above the folder they are named
# after (the start-up's hooks, the panel queue's applier, the timer's steps,
# the amplifier link); every other test links zel_<its prefix>.
foreach(t menus_dispatch_test menus_params_test tuner_antenna_test remote_audio_test amp_errors_test
          amp_link_test amp_protection_test amp_unit_test core_spine_test screens_station_test tuner_link_test)
  set(ZELPYX_TEST_LIBS_${t} zel_app)
endforeach()
foreach(t screens_damage_test remote_link_test remote_secure_test display_keyboard_test)
  set(ZELPYX_TEST_LIBS_${t} zel_menus)
endforeach()
foreach(t tuner_memory_test remote_station_test radio_sim_test)
  set(ZELPYX_TEST_LIBS_${t} zel_screens)
endforeach()
foreach(t sim_zelsim_test tables_files_test)
  set(ZELPYX_TEST_LIBS_${t} zel_amp)
endforeach()
set(ZELPYX_TEST_LIBS_core_powercut_test zel_tuner)

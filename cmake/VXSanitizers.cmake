# VXUPLOAD_SANITIZERS: which sanitizers every target of the build is compiled and linked with.
#   OFF                    none (the default)
#   ON, address            AddressSanitizer and UndefinedBehaviorSanitizer
#   thread                 ThreadSanitizer; run the tests with TSAN_OPTIONS naming
#                          cmake/tsan.supp (scripts/test.sh does), because Debian's Qt is not
#                          built for it (see that file)
# A cache left by the earlier ON/OFF option keeps working.
set(VXUPLOAD_SANITIZERS OFF CACHE STRING "Sanitizers: OFF, ON (address), address or thread")
set_property(CACHE VXUPLOAD_SANITIZERS PROPERTY STRINGS OFF ON address thread)

string(TOLOWER "${VXUPLOAD_SANITIZERS}" vx_sanitizers)
if(vx_sanitizers STREQUAL "thread")
    # -O1 and frame pointers keep the reports' stacks whole without making the tests crawl.
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g -O1)
    add_link_options(-fsanitize=thread)
elseif(vx_sanitizers STREQUAL "address" OR VXUPLOAD_SANITIZERS)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

# The client's sources, declared once for every build that uses them.
#   Z39_CORE_SOURCES  src/ without src/ui: no Qt, tested with GoogleTest
#   Z39_UI_SOURCES    src/ui: windows, dialogs, widgets, delegates (main.cpp apart)
#   Z39_MAIN_SOURCE   src/ui/main.cpp
# Each folder of the core may include only from itself and the folders before it here;
# scripts/check-includes.sh enforces that order.
set(Z39_CORE_LAYERS common state records targets backends search batch app)

get_filename_component(_z39_src ${CMAKE_CURRENT_LIST_DIR}/../src ABSOLUTE)
set(Z39_CORE_SOURCES)
foreach(layer IN LISTS Z39_CORE_LAYERS)
    file(GLOB _layer_sources CONFIGURE_DEPENDS ${_z39_src}/${layer}/*.cpp)
    list(APPEND Z39_CORE_SOURCES ${_layer_sources})
endforeach()
file(GLOB Z39_UI_SOURCES CONFIGURE_DEPENDS ${_z39_src}/ui/*.cpp)
set(Z39_MAIN_SOURCE ${_z39_src}/ui/main.cpp)
list(REMOVE_ITEM Z39_UI_SOURCES ${Z39_MAIN_SOURCE})

# The ISBN agency's range table, generated at build time from Debian's copy of it
# (libbusiness-isbn-data-perl); records/isbn_forms.cpp includes it.
set(Z39_ISBN_DATA /usr/share/perl5/Business/ISBN/Data.pm CACHE FILEPATH
    "Business::ISBN::Data, whose ranges the ISBN forms follow")
set(Z39_GENERATED_INCLUDE ${CMAKE_CURRENT_BINARY_DIR}/generated)
get_filename_component(_z39_root ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
add_custom_command(
    OUTPUT ${Z39_GENERATED_INCLUDE}/isbn_ranges.inc
    COMMAND ${CMAKE_COMMAND} -E make_directory ${Z39_GENERATED_INCLUDE}
    COMMAND python3 ${_z39_root}/scripts/gen-isbn-ranges.py ${Z39_ISBN_DATA}
            ${Z39_GENERATED_INCLUDE}/isbn_ranges.inc
    DEPENDS ${_z39_root}/scripts/gen-isbn-ranges.py ${Z39_ISBN_DATA}
    COMMENT "ISBN range table from ${Z39_ISBN_DATA}")
list(APPEND Z39_CORE_SOURCES ${Z39_GENERATED_INCLUDE}/isbn_ranges.inc)

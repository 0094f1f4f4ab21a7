# The library's layers, lowest first, and for each the folders its sources
# may include (itself and everything it builds on). The build makes one
# object library per layer linked with exactly these, and checklayers.cmake
# fails the build on an include outside them.
#
# model/ needs only base/, so it sits beside serial/. The protocol builds on
# both. monitor/ holds the point layer and, as its one reach into the
# protocol, the network scan (networkscan.cpp): the scan is a member of the
# protocol class that creates Points, so it lives where both are visible.
set(VARNO_LAYERS base serial model protocol monitor)
set(VARNO_LAYER_USES_base base)
set(VARNO_LAYER_USES_serial base serial)
set(VARNO_LAYER_USES_model base model)
set(VARNO_LAYER_USES_protocol base serial model protocol)
set(VARNO_LAYER_USES_monitor base serial model protocol monitor)

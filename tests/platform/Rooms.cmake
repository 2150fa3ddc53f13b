# The rooms of src/ and what each may include: the table that LayersPointDown.cmake and
# CoreIsPortable.cmake check the sources against (the README's Layout section shows it).
#
# A room is a folder of src/; a source file belongs to the room with the longest folder that
# holds it (src/app/qt/main_window.cpp to app/qt, src/app/deadline.cpp to app), so a folder
# that is no room of its own belongs to the room above it. A room includes itself and the rooms
# named after USES, nothing else; a PORTABLE room includes no OS header. A new folder with
# sources of its own outside every room fails both checks until it has a line here.
#
#    room            portable  may also include
room(platform                 USES)
room(platform/posix           USES platform)
room(platform/win32           USES platform)
room(platform/remote          USES platform platform/posix platform/win32)
room(log             PORTABLE USES platform)
room(image           PORTABLE USES log platform)
room(discovery       PORTABLE USES log platform)
room(link            PORTABLE USES discovery log platform)
room(app             PORTABLE USES link image discovery log platform)
room(app/qt                   USES app link image discovery log platform sim)
room(app/win32                USES app link image discovery log platform sim platform/win32)
room(sim                      USES platform platform/posix platform/remote)
room(station                  USES app link image discovery log platform)
room(web                      USES platform)
room(cli                      USES station app link image discovery log platform sim web
                                   platform/remote platform/win32)

# Prints the file GTK 3 shows for a content type's icon under an icon
# theme, as a file manager looks it up (the type's themed icon, then the
# theme's lookup), or exits 1 when none is found.
#
#   python3 icon_lookup.py CONTENT_TYPE THEME SIZE
#
# Needs no display: a theme object of its own is asked, not the screen's.
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import Gio, Gtk  # noqa: E402

content_type, theme_name, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
theme = Gtk.IconTheme.new()
theme.set_custom_theme(theme_name)
info = theme.lookup_by_gicon(Gio.content_type_get_icon(content_type), size, 0)
if info is None or not info.get_filename():
    sys.exit(1)
print(info.get_filename())

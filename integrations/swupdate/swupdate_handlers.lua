-- SWUpdate loads swupdate_handlers.lua from Lua's search path at start-up
-- (for instance /usr/local/share/lua/5.3/). This line registers the image
-- type "syscon"; add it to the file that registers your other handlers.
require("swupdate_syscon")

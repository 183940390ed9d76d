// The board plug-in: transport, board manager and stream modules.

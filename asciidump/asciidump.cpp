// The ASCII logger plug-in.

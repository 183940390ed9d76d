// Which thread is the GTK main thread.
#ifndef BRISKO_DAQ_GUITHREAD_H
#define BRISKO_DAQ_GUITHREAD_H

// True on the thread that loaded the main library: the program's main
// thread, which initialises GTK and runs its main loop. Code that may be
// called from any thread asks this before it touches a widget, and posts an
// idle record instead when it is false.
bool on_gui_thread();

#endif

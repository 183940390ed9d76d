// A modal prompt for one line of text that offers the lines given before.
#ifndef BRISKO_FENROW_WINDOWS_HISTORYPROMPT_H
#define BRISKO_FENROW_WINDOWS_HISTORYPROMPT_H

#include <string>
#include <vector>

// Runs a modal dialog with the label and an entry whose drop-down holds the
// history, newest first. OK: the typed text, which is appended to the
// history (repeats too). Cancel or a close: the empty text, the history
// unchanged. GTK main thread only.
std::string get_a_string_with_history(const std::string& title, const std::string& label,
                                      std::vector<std::string>& history);

#endif

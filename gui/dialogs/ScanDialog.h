// The scan definition dialog: named scans, each a scan point made of scan
// variables, edited on copies. The main window runs it modally:
//
//     ScanDialog d(nScan, scans->get_scan_list());
//     d.scan(doScan);
//     if (!scpoint.get_name().empty()) d.set_scan_point(scpoint.get_name());
//     d.delay(scans->delay()); d.burst(scans->burst());
//     d.is_time(scans->is_time()); d.rate(scans->rate());
//     main_window->init_application(&d, "ScanDialog");
//     if (gtk_dialog_run(GTK_DIALOG(d.get_main_window())) == GTK_RESPONSE_OK) {
//         d.get_n_var(); d.copy_scan_point(scpoint); d.copy_scan_list(list); ...
//     }
#ifndef BRISKO_GUI_DIALOGS_SCANDIALOG_H
#define BRISKO_GUI_DIALOGS_SCANDIALOG_H

#include <string>

#include "daq/Scan.h"
#include "gui/GladeApp.h"

class ScanDialog : public GladeApp {
public:
    ScanDialog(int nevts, const ScanList& list);
    ~ScanDialog() override;

    void user_init() override;
    void auto_connect() override;
    void process_text(const char* name, GtkWidget* widget) override;

    bool scan() const { return do_scan; }
    void scan(bool flag) { do_scan = flag; }
    int get_nevts() const { return nevts; }
    bool burst() const { return do_burst; }
    void burst(bool flag) { do_burst = flag; }
    bool is_time() const { return _time; }
    void is_time(bool flag) { _time = flag; }
    double delay() const { return _delay; }
    void delay(double value) { _delay = value; }
    double rate() const { return _rate; }
    void rate(double value) { _rate = value; }
    int get_n_var() const { return sc.nvar(); }
    void copy_scan_list(ScanList& list) const { list.cpy(scl); }
    void copy_scan_point(ScanPoint& point) const { point = sc; }
    // The scan of that name becomes the current one; nothing changes when
    // the list has none.
    void set_scan_point(const std::string& name);

    static void on_OK(GtkWidget*, gpointer self);
    static void on_Cancel(GtkWidget*, gpointer self);
    static void on_Help(GtkWidget*, gpointer self);
    static void on_SaveScan(GtkWidget*, gpointer self);
    static void on_AddScan(GtkWidget*, gpointer self);
    static void on_DeleteScan(GtkWidget*, gpointer self);
    static void on_ScanChanged(GtkWidget*, gpointer self);
    static void on_Delete(GtkWidget*, gpointer self);
    static void on_Add(GtkWidget*, gpointer self);
    static void on_Up(GtkWidget*, gpointer self);
    static void on_Down(GtkWidget*, gpointer self);
    static void on_doScan(GtkWidget*, gpointer self);
    static void on_toggleBurst(GtkWidget*, gpointer self);
    static void on_toggleTime(GtkWidget*, gpointer self);
    static void on_Delay(GtkWidget*, gpointer self);
    static void on_Rate(GtkWidget*, gpointer self);
    // OK with a scan too large to run says so and keeps the dialog open: the
    // caller would expand its points on OK.
    static void on_Response(GtkDialog*, int response, gpointer self);

private:
    // One variable as the entries show it.
    struct Values {
        int npoints;
        double step;
        double from;
        double to;
    };

    void set_values(const ScanVar& var);
    void set_values(const Values& v);
    Values get_values() const;
    // The variable the entries describe, or false (with the reason in
    // `why`) for a range that is not scanned.
    bool make_var(ScanType type, const Values& v, ScanVar& var, std::string& why) const;
    void message(const std::string& text);

    void type_selected();
    void row_selected();
    void select_type(int type);
    void fill_scan_rows();
    void moveRow(bool up);
    void updateScanList(const std::string& name);
    void scan_changed();

    bool do_scan;
    bool do_burst;
    double _delay;
    double _rate;
    bool _time;
    int nevts;
    ScanList scl;
    ScanPoint sc;
    int current;          // type selected last in "lstVariables", or -1
    Values shown;         // what the entries show, restored when an edit is refused
    GtkListStore* types;  // "lstVariables"
    GtkListStore* rows;   // "clistScan"
};

#endif

#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace vx {

class Collector;

// The wait window shown while one channel is being opened. Once on screen
// it opens its channel (unless the opening was cancelled meanwhile) and
// closes itself. Its cancel action stops the opening of the channels that
// follow; the channel being opened finishes its own attempt.
class frmAttendere : public QDialog {
    Q_OBJECT
public:
    frmAttendere(Collector &collector, int channel, QWidget *parent = nullptr);

    // Shows the wait window modally for channel n until the channel is open.
    // Nothing is shown once the opening was cancelled.
    static void OpenChannelWait(Collector &collector, int n, QWidget *parent);

    int Channel;
    QLabel *lblAttendere;
    QPushButton *cmdAnnulla;

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void reject() override;

private:
    void openChannel();
    void cancel();

    Collector &m_collector;
    bool m_started = false;
    bool m_done = false;
};

} // namespace vx

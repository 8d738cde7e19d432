// One page of the "Channel Settings" dialog: the settings of one capability of a channel
// (who may connect, and later capture or network conditions).
//
// To add a page: derive from this class, build the page's controls in its constructor, and
// add one line to TChannelSettingsDialog's constructor. The dialog loads every page from the
// channel's record, keeps OK disabled while any page reports a problem, and on OK lets every
// page store its own fields into the record (and only those).
// Main thread only.
#pragma once

#include "config/pm_config.h"

#include <QWidget>

class TChannelSettingsPage : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

    // The page's tab caption, with its access key.
    virtual QString Title() const = 0;
    virtual void Load(const trabix::TPM_port& port) = 0;
    // Empty when the page's values can be stored, else what is wrong with them.
    virtual QString Problem() const = 0;
    virtual void Store(trabix::TPM_port& port) const = 0;

signals:
    // A value changed: the dialog asks Problem() again.
    void Edited();
};

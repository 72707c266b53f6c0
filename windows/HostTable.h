// SPDX-License-Identifier: MIT
// The host table: one row per host of the main window's last sweep, with
// what the sweep and the history know of it (address, name, MAC, vendor, how
// it was seen, rounds answered, share, change since the sweep before, when it
// was last seen, remark). Sorted by any column (addresses by number),
// filtered by a text over all columns and, at first, to the hosts seen.
// Selected rows copy as tab-separated text; the rows shown export in the
// forms of `Tessor --sweep`. The main window feeds it after every sweep and
// at every remark change, and edits a remark on a double-click.
#pragma once

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "sweep/SweepOptions.h"
#include "sweep/SweepReport.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

namespace windows {

// How a host was seen and its change since the sweep before, in the
// windows' language; "" for none.
QString SeenText(const sweep::HostResult& h);
QString ChangeText(const std::string& change);

class HostTableModel : public QAbstractTableModel {
    Q_OBJECT

  public:
    enum Column { Address, Name, Mac, Vendor, Seen, Answered, Share, Change, LastSeen, Remark };
    static constexpr int kColumns = Remark + 1;
    // What the proxy sorts by: numbers where the column holds one.
    static constexpr int kSortRole = Qt::UserRole;
    // Whether the row's host was seen, for the "only hosts seen" filter.
    static constexpr int kSeenRole = Qt::UserRole + 1;

    using QAbstractTableModel::QAbstractTableModel;

    // The sweep's hosts, one row each in host order; lastSeen[i] (local time
    // "yyyy-MM-dd hh:mm:ss", or "") belongs to hosts[i].
    void SetSweep(sweep::SweepResult result, std::vector<std::string> lastSeen);
    // The remark of the host whose address is ip.
    void SetRemark(const std::string& ip, const std::string& remark);
    const sweep::SweepResult& Result() const { return result_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  private:
    QString Text(const sweep::HostResult& h, std::size_t row, int column) const;

    sweep::SweepResult result_;
    std::vector<std::string> lastSeen_;
};

// The table's sort and filter: a text that any column contains (any case)
// and, when asked, only the hosts seen.
class HostFilter : public QSortFilterProxyModel {
    Q_OBJECT

  public:
    explicit HostFilter(QObject* parent = nullptr);
    void SetOnlySeen(bool on);
    bool OnlySeen() const { return onlySeen_; }

  protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

  private:
    bool onlySeen_ = true;
};

class HostTable : public QWidget {
    Q_OBJECT

  public:
    // A window of its own; `parent` (the main window) owns it and takes it along when it goes.
    explicit HostTable(QWidget* parent = nullptr);

    void SetSweep(sweep::SweepResult result, std::vector<std::string> lastSeen);
    void SetRemark(const std::string& ip, const std::string& remark);

    // The selected rows in the table's order, their cells as shown joined by
    // tabs (tabs and line breaks inside a cell become spaces), a line each.
    QString SelectedText() const;
    void CopySelected();
    // Writes the rows shown, in host order, as `Tessor --sweep` writes them.
    // False, with why, when the file could not be written.
    bool Export(const QString& path, sweep::ReportFormat format, std::string& why) const;

    // A double-click on a row: edit the remark of host, whose address is ip.
    std::function<void(int host, const std::string& ip)> EditRemark;
    // Asks where to export; "" when the user cancels. Tests replace it.
    std::function<QString(sweep::ReportFormat format)> ChooseFile;

    HostTableModel* Model;
    HostFilter* Proxy;
    QLineEdit* Filter;
    QCheckBox* OnlySeen;
    QPushButton* Copy;
    QPushButton* ExportCsv;
    QPushButton* ExportJson;
    QTableView* Table;
    QLabel* Shown;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void ExportAs(sweep::ReportFormat format);
    void ShowCount();

    bool sized_ = false;
};

}  // namespace windows

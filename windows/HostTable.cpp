// SPDX-License-Identifier: MIT
#include "windows/HostTable.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/files/fileio.h"
#include "platform/process/msgbox.h"
#include "sweep/Findings.h"
#include "windows/design.h"

namespace windows {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A cell holds one line: a remark's breaks show as the stand-in the remark
// box uses.
QString OneLine(const std::string& s) {
    QString text = Q(s);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\u21B5"));
    text.replace(QChar('\r'), QStringLiteral("\u21B5"));
    text.replace(QChar('\n'), QStringLiteral("\u21B5"));
    return text;
}

// Room for the caption inside the style's margin and frame on either side,
// which some styles' size hints leave out.
void FitCaption(QPushButton* b) {
    const int edge = b->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, b) +
                     b->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, b);
    b->setMinimumWidth(b->fontMetrics().horizontalAdvance(b->text()) + 2 * edge + 2);
}

}  // namespace

QString SeenText(const sweep::HostResult& h) {
    if (h.rounds == 0) return {};
    if (sweep::SeenByArpOnly(h)) return HostTableModel::tr("仅ARP");
    return sweep::WasSeen(h) ? HostTableModel::tr("Ping") : HostTableModel::tr("无");
}

QString ChangeText(const std::string& change) {
    switch (sweep::KindOf(change)) {
        case sweep::ChangeKind::New:
            return HostTableModel::tr("新设备");
        case sweep::ChangeKind::Moved:
            return HostTableModel::tr("换了地址");
        case sweep::ChangeKind::Mac:
            return HostTableModel::tr("换了MAC");
        case sweep::ChangeKind::Up:
            return HostTableModel::tr("上线");
        case sweep::ChangeKind::Down:
            return HostTableModel::tr("下线");
        case sweep::ChangeKind::None:
            break;
    }
    return {};
}

void HostTableModel::SetSweep(sweep::SweepResult result, std::vector<std::string> lastSeen) {
    beginResetModel();
    result_ = std::move(result);
    lastSeen_ = std::move(lastSeen);
    lastSeen_.resize(result_.hosts.size());
    endResetModel();
}

void HostTableModel::SetRemark(const std::string& ip, const std::string& remark) {
    for (std::size_t row = 0; row < result_.hosts.size(); ++row) {
        if (result_.hosts[row].ip != ip) continue;
        result_.hosts[row].remark = remark;
        const QModelIndex cell = index(static_cast<int>(row), Remark);
        emit dataChanged(cell, cell);
    }
}

int HostTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(result_.hosts.size());
}

int HostTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QString HostTableModel::Text(const sweep::HostResult& h, std::size_t row, int column) const {
    switch (column) {
        case Address:
            return Q(h.ip);
        case Name:
            return OneLine(h.name);
        case Mac:
            return Q(h.mac);
        case Vendor:
            return OneLine(h.vendor);
        case Seen:
            return SeenText(h);
        case Answered:
            if (h.rounds == 0) return {};
            return QString::number(h.answered) + "/" + QString::number(h.rounds);
        case Share:
            if (h.rounds == 0) return {};
            return QString::number(sweep::SharePercent(h.answered, h.rounds)) + "%";
        case Change:
            return ChangeText(h.change);
        case LastSeen:
            return Q(lastSeen_[row]);
        case Remark:
            return OneLine(h.remark);
        default:
            return {};
    }
}

QVariant HostTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const auto row = static_cast<std::size_t>(index.row());
    const sweep::HostResult& h = result_.hosts[row];
    switch (role) {
        case Qt::DisplayRole:
            return Text(h, row, index.column());
        case kSortRole:
            switch (index.column()) {
                case Address:
                    return h.host;
                case Answered:
                    return h.answered;
                case Share:
                    return sweep::SharePercent(h.answered, h.rounds);
                default:
                    return Text(h, row, index.column());
            }
        case kSeenRole:
            return sweep::WasSeen(h);
        case Qt::TextAlignmentRole:
            if (index.column() == Answered || index.column() == Share)
                return QVariant(Qt::AlignRight | Qt::AlignVCenter);
            return {};
        default:
            return {};
    }
}

QVariant HostTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case Address:
            return tr("地址");
        case Name:
            return tr("名称");
        case Mac:
            return QStringLiteral("MAC");
        case Vendor:
            return tr("厂商");
        case Seen:
            return tr("发现方式");
        case Answered:
            return tr("应答/轮次");
        case Share:
            return tr("成功率");
        case Change:
            return tr("变化");
        case LastSeen:
            return tr("最后在线");
        case Remark:
            return tr("备注");
        default:
            return {};
    }
}

HostFilter::HostFilter(QObject* parent) : QSortFilterProxyModel(parent) {
    setSortRole(HostTableModel::kSortRole);
    setFilterKeyColumn(-1);
    setFilterCaseSensitivity(Qt::CaseInsensitive);
    setDynamicSortFilter(true);
}

void HostFilter::SetOnlySeen(bool on) {
    if (on == onlySeen_) return;
    onlySeen_ = on;
    invalidateFilter();
}

bool HostFilter::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    if (onlySeen_ &&
        !sourceModel()
             ->data(sourceModel()->index(sourceRow, 0, sourceParent), HostTableModel::kSeenRole)
             .toBool())
        return false;
    return QSortFilterProxyModel::filterAcceptsRow(sourceRow, sourceParent);
}

HostTable::HostTable(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("HostTable");
    setWindowTitle(tr("主机表"));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Bgr(kColorWindow));
    setPalette(pal);
    setAutoFillBackground(true);

    Model = new HostTableModel(this);
    Proxy = new HostFilter(this);
    Proxy->setSourceModel(Model);

    Filter = new QLineEdit(this);
    Filter->setObjectName("Filter");
    Filter->setPlaceholderText(tr("筛选 (任意列)"));
    Filter->setClearButtonEnabled(true);
    OnlySeen = new QCheckBox(tr("只显示在线主机"), this);
    OnlySeen->setObjectName("OnlySeen");
    OnlySeen->setChecked(true);
    Copy = new QPushButton(tr("复制所选行"), this);
    Copy->setObjectName("Copy");
    ExportCsv = new QPushButton(tr("导出CSV..."), this);
    ExportCsv->setObjectName("ExportCsv");
    ExportJson = new QPushButton(tr("导出JSON..."), this);
    ExportJson->setObjectName("ExportJson");
    for (QPushButton* b : {Copy, ExportCsv, ExportJson}) FitCaption(b);

    Table = new QTableView(this);
    Table->setObjectName("Table");
    Table->setModel(Proxy);
    Table->setSortingEnabled(true);
    Table->sortByColumn(HostTableModel::Address, Qt::AscendingOrder);
    Table->setSelectionBehavior(QAbstractItemView::SelectRows);
    Table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table->setWordWrap(false);
    Table->verticalHeader()->hide();
    Table->verticalHeader()->setDefaultSectionSize(Table->fontMetrics().height() + 6);
    Table->horizontalHeader()->setStretchLastSection(true);
    Table->installEventFilter(this);

    Shown = new QLabel(this);
    Shown->setObjectName("Shown");

    auto* tools = new QHBoxLayout;
    tools->addWidget(Filter, 1);
    tools->addWidget(OnlySeen);
    tools->addWidget(Copy);
    tools->addWidget(ExportCsv);
    tools->addWidget(ExportJson);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(tools);
    layout->addWidget(Table, 1);
    layout->addWidget(Shown);
    resize(900, 480);

    ChooseFile = [this](sweep::ReportFormat format) {
        const bool csv = format == sweep::ReportFormat::Csv;
        const QString suffix = csv ? QStringLiteral("csv") : QStringLiteral("json");
        QFileDialog dialog(this, tr("导出主机表"));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix(suffix);
        dialog.setNameFilter(csv ? QStringLiteral("CSV (*.csv)") : QStringLiteral("JSON (*.json)"));
        dialog.selectFile(QDir::home().filePath(Q(Model->Result().subnet) + "." + suffix));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        return dialog.selectedFiles().front();
    };

    connect(Filter, &QLineEdit::textChanged, this, [this](const QString& text) {
        Proxy->setFilterFixedString(text);
        ShowCount();
    });
    connect(OnlySeen, &QCheckBox::toggled, this, [this](bool on) {
        Proxy->SetOnlySeen(on);
        ShowCount();
    });
    connect(Copy, &QPushButton::clicked, this, &HostTable::CopySelected);
    connect(ExportCsv, &QPushButton::clicked, this, [this] { ExportAs(sweep::ReportFormat::Csv); });
    connect(ExportJson, &QPushButton::clicked, this,
            [this] { ExportAs(sweep::ReportFormat::Json); });
    connect(Table, &QTableView::doubleClicked, this, [this](const QModelIndex& at) {
        const QModelIndex source = Proxy->mapToSource(at);
        if (!source.isValid() || !EditRemark) return;
        const sweep::HostResult& h = Model->Result().hosts[static_cast<std::size_t>(source.row())];
        EditRemark(h.host, h.ip);
    });
    ShowCount();
}

void HostTable::SetSweep(sweep::SweepResult result, std::vector<std::string> lastSeen) {
    const QString subnet = Q(result.subnet);
    Model->SetSweep(std::move(result), std::move(lastSeen));
    setWindowTitle(subnet.isEmpty() ? tr("主机表") : tr("主机表") + " - " + subnet);
    if (!sized_ && Model->Result().rounds > 0) {
        sized_ = true;
        Table->resizeColumnsToContents();
    }
    ShowCount();
}

void HostTable::SetRemark(const std::string& ip, const std::string& remark) {
    Model->SetRemark(ip, remark);
}

void HostTable::ShowCount() {
    Shown->setText(tr("显示 %1 台主机, 共 %2 台").arg(Proxy->rowCount()).arg(Model->rowCount()));
}

QString HostTable::SelectedText() const {
    QModelIndexList rows = Table->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QString text;
    for (const QModelIndex& row : rows) {
        QStringList cells;
        for (int c = 0; c < HostTableModel::kColumns; ++c) {
            QString cell = Proxy->index(row.row(), c).data().toString();
            cell.replace(QChar('\t'), QChar(' '));
            cell.replace(QChar('\r'), QChar(' '));
            cell.replace(QChar('\n'), QChar(' '));
            cells << cell;
        }
        text += cells.join(QChar('\t')) + "\n";
    }
    return text;
}

void HostTable::CopySelected() {
    const QString text = SelectedText();
    if (!text.isEmpty()) QApplication::clipboard()->setText(text);
}

bool HostTable::Export(const QString& path, sweep::ReportFormat format, std::string& why) const {
    const sweep::SweepResult& all = Model->Result();
    sweep::SweepResult shown = all;
    shown.hosts.clear();
    for (int row = 0; row < Model->rowCount(); ++row)
        if (Proxy->mapFromSource(Model->index(row, 0)).isValid())
            shown.hosts.push_back(all.hosts[static_cast<std::size_t>(row)]);
    const std::string text =
        format == sweep::ReportFormat::Json ? sweep::WriteJson(shown) : sweep::WriteCsv(shown);
    if (platform::ReplaceFile(path.toStdString(), text)) return true;
    why = std::strerror(errno);
    return false;
}

void HostTable::ExportAs(sweep::ReportFormat format) {
    if (!ChooseFile) return;
    const QString path = ChooseFile(format);
    if (path.isEmpty()) return;
    std::string why;
    if (!Export(path, format, why))
        platform::ShowMessage((tr("无法写入文件:\n") + path + "\n").toStdString() + why,
                              platform::MsgIcon::Warning);
}

bool HostTable::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Table && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
        CopySelected();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace windows

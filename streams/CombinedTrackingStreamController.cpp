#include "CombinedTrackingStreamController.h"

#include <QCoreApplication>
#include <QSignalBlocker>
#include <QString>
#include <QStringList>

#include "gui/controller/QtHelpers.h"
#include "stream/TrackerID.h"

#include "streams/CombinedTrackingStream.h"
#include "ui_CombinedTrackingStreamController.h"

namespace Kelvaros
{

namespace
{
/// The instruments of the first input of that name, in the text form instructions store.
QStringList instrumentTexts(const CombinedTrackingStream& stream, const QString& streamName)
{
    QStringList texts;
    for (const TrackingStream* input : stream.streams())
    {
        if (QString::fromStdString(input->name()) != streamName)
            continue;
        for (const TrackingInstrument& instrument : input->instruments())
            texts << QString::fromStdString(instrument.id.toIDModelNameString(false));
        break;
    }
    return texts;
}

/// Refills a list without announcing it. The user's choice survives a refresh (an input that shows a new tool, the
/// stream showing its first output) when it is still listed; otherwise the default index is selected.
void refill(QComboBox& box, const QStringList& texts, int defaultIndex)
{
    const QString previous = box.currentText();
    const QSignalBlocker blocker(&box);
    box.clear();
    box.addItems(texts);
    const int kept = previous.isEmpty() ? -1 : box.findText(previous);
    box.setCurrentIndex(kept >= 0 ? kept : defaultIndex);
}

std::string idOf(const QString& instrumentText)
{
    return TrackerID::fromIDModelNameString(instrumentText.toStdString()).ID();
}
} // namespace

CombinedTrackingStreamController::CombinedTrackingStreamController(Algorithm* algorithm)
  : StreamControllerBase(algorithm, false), m_ui(std::make_unique<Ui::CombinedTrackingStreamController>())
{
    m_ui->setupUi(this);
}

CombinedTrackingStreamController::~CombinedTrackingStreamController()
{
    // The stream's notifications queue calls on this panel; none may start while the form goes away.
    disconnectAll();
}

void CombinedTrackingStreamController::init()
{
    StreamControllerBase::init();
    m_stream = dynamic_cast<CombinedTrackingStream*>(stream());
    if (!m_stream)
        return;

    // Notifications arrive on whichever thread changed the stream or its inputs: queue the refresh on this panel.
    const auto queueUpdate = [this] { QMetaObject::invokeMethod(this, "updateGui", Qt::QueuedConnection); };
    m_stream->signalParametersChanged.connect(this, [queueUpdate](ParameterBase*) { queueUpdate(); });
    m_stream->signalInstrumentsChanged.connect(this, queueUpdate);
    for (TrackingStream* input : m_stream->streams())
        input->signalInstrumentsChanged.connect(this, queueUpdate);

    connect(m_ui->comboBoxPreStream, SIGNAL(currentIndexChanged(int)), this, SLOT(updateGui()));
    connect(m_ui->comboBoxPostStream, SIGNAL(currentIndexChanged(int)), this, SLOT(updateGui()));
    connect(m_ui->pushButtonAddInstrument, SIGNAL(clicked()), this, SLOT(onAddInstrument()));
    connect(m_ui->checkBoxForwardTargetOnly, SIGNAL(clicked(bool)), this, SLOT(onChangeForwardTargetOnly(bool)));

    QStringList streamNames;
    for (const TrackingStream* input : m_stream->streams())
        streamNames << QString::fromStdString(input->name());
    refill(*m_ui->comboBoxPreStream, streamNames, 0);
    refill(*m_ui->comboBoxPostStream, streamNames, streamNames.size() >= 2 ? 1 : 0);

    // In the form's translation context, like every other text of the panel.
    const char* context = "CombinedTrackingStreamController";
    m_ui->comboBoxCombinationMode->addItems(
      { QCoreApplication::translate(context, "Relative"), QCoreApplication::translate(context, "Composition") });
    m_ui->comboBoxCombinationMode->setCurrentIndex(0);
    updateGui();
}

void CombinedTrackingStreamController::updateGui()
{
    if (!m_stream)
        return;
    refill(*m_ui->comboBoxPreInstrument, instrumentTexts(*m_stream, m_ui->comboBoxPreStream->currentText()), 0);
    // Over one input the reference and the target come from the same list: offer two different instruments.
    refill(*m_ui->comboBoxPostInstrument, instrumentTexts(*m_stream, m_ui->comboBoxPostStream->currentText()),
           m_stream->streams().size() == 1 ? 1 : 0);
    QtHelpers::setSilent(m_ui->checkBoxForwardTargetOnly, m_stream->isForwardWithoutCombination());
}

void CombinedTrackingStreamController::onAddInstrument()
{
    if (!m_stream)
        return;
    const QString preInstrument = m_ui->comboBoxPreInstrument->currentText();
    const QString postInstrument = m_ui->comboBoxPostInstrument->currentText();

    CombinedTrackingStream::CombinationInstruction instruction;
    instruction.p_preStreamName = m_ui->comboBoxPreStream->currentText().toStdString();
    instruction.p_preInstrument = preInstrument.toStdString();
    instruction.p_postStreamName = m_ui->comboBoxPostStream->currentText().toStdString();
    instruction.p_postInstrument = postInstrument.toStdString();

    std::string name = m_ui->lineEditInstrumentName->text().toStdString();
    if (name.empty() && !preInstrument.isEmpty() && !postInstrument.isEmpty())
        name = idOf(preInstrument) + "-" + idOf(postInstrument);
    instruction.p_outputInstrument = name;
    instruction.p_combinationMode =
      static_cast<CombinedTrackingStream::CombinationMode>(m_ui->comboBoxCombinationMode->currentIndex());

    m_stream->addOutputInstrument(instruction);
    m_ui->lineEditInstrumentName->clear();
}

void CombinedTrackingStreamController::onChangeForwardTargetOnly(bool forward)
{
    if (m_stream)
        m_stream->setForwardWithoutCombination(forward);
}

} // namespace Kelvaros

#include "ProgressBar.h"

#include <QProgressBar>
#include <cmath>

namespace kestrel {

namespace {
constexpr int kSteps = 10000;
}

void ProgressBar::setMin(float min)
{
    m_min = min;
    if (m_max < m_min)
        m_max = m_min;
    if (m_value < m_min)
        m_value = m_min;
    render();
}

void ProgressBar::setMax(float max)
{
    m_max = max;
    if (m_min > m_max)
        m_min = m_max;
    if (m_value > m_max)
        m_value = m_max;
    render();
}

bool ProgressBar::setValue(float value)
{
    if (!(value >= m_min && value <= m_max)) // also refuses NaN
        return false;
    m_value = value;
    render();
    return true;
}

QtProgressBar::QtProgressBar(QProgressBar *bar) : m_bar(bar)
{
    m_bar->setRange(0, kSteps);
    m_bar->setTextVisible(false);
    render();
}

void QtProgressBar::render()
{
    const float span = max() - min();
    const int shown = span > 0.0F
        ? static_cast<int>(std::lround((value() - min()) / span * kSteps))
        : 0;
    m_bar->setValue(shown);
}

} // namespace kestrel

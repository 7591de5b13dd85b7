#include "platform/ProgressBar.h"


namespace kestrel::platform {

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

} // namespace kestrel::platform

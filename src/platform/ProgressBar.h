#pragma once

class QProgressBar;

namespace kestrel::platform {

// A progress bar with single-precision Min, Max and Value, as the steps see it.
// A value outside Min..Max is refused: setValue answers false and the value stays.
class ProgressBar {
public:
    virtual ~ProgressBar() = default;
    float min() const { return m_min; }
    float max() const { return m_max; }
    float value() const { return m_value; }
    virtual void setMin(float min);
    virtual void setMax(float max);
    virtual bool setValue(float value);

protected:
    virtual void render() {}

private:
    float m_min = 0.0F;
    float m_max = 100.0F;
    float m_value = 0.0F;
};


} // namespace kestrel::platform

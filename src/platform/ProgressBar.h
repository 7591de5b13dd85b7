#pragma once

class QProgressBar;

namespace kestrel {

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

// Shows the float range on a QProgressBar by scaling it to a fine integer range,
// so that 1.5 of 3 and 100 of 100.1 show as such.
class QtProgressBar final : public ProgressBar {
public:
    explicit QtProgressBar(QProgressBar *bar);

protected:
    void render() override;

private:
    QProgressBar *m_bar;
};

} // namespace kestrel

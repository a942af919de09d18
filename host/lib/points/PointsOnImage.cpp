#include "lib/points/PointsOnImage.h"

#include <algorithm>

#include "core/Log.h"
#include "core/Properties.h"
#include "lib/SharedImageSet.h"

namespace Kelvaros
{

namespace
{
const char* const kCategory = "PointsOnImage";
} // namespace

PointsOnImage::PointsOnImage(SharedImageSet& image) : m_image(image)
{
    m_image.signalMatrixChanged.connect(static_cast<SignalReceiver*>(this), [this] { updateWorldPoints(); });
}

PointsOnImage::~PointsOnImage()
{
    disconnectAll();
}

void PointsOnImage::addImagePoint(const Eigen::Vector3d& imagePoint, int imageIndex)
{
    m_imagePoints.push_back(imagePoint);
    m_imageIndices.push_back(resolveImage(imageIndex));
    appendRecord();
    const int n = size();
    signalPointsAdded.emitSignal(n - 1, n);
}

void PointsOnImage::addWorldPoint(const Eigen::Vector3d& worldPoint, int imageIndex)
{
    const int image = resolveImage(imageIndex);
    addImagePoint(m_image.worldToImage(worldPoint, image), image);
}

void PointsOnImage::setImagePoint(const Eigen::Vector3d& imagePoint, int index)
{
    if (!resolveIndex(index, "setImagePoint"))
        return;
    m_imagePoints[size_t(index)] = imagePoint;
    signalPointsChanged.emitSignal(index, index + 1);
}

void PointsOnImage::setWorldPoint(const Eigen::Vector3d& worldPoint, int index)
{
    if (!resolveIndex(index, "setWorldPoint"))
        return;
    m_imagePoints[size_t(index)] = m_image.worldToImage(worldPoint, m_imageIndices[size_t(index)]);
    signalPointsChanged.emitSignal(index, index + 1);
}

const std::vector<Eigen::Vector3d>& PointsOnImage::allPoints() const
{
    refreshWorldPoints();
    return m_worldPoints;
}

const Data* PointsOnImage::data() const
{
    return &m_image;
}

void PointsOnImage::remove(int first, int last)
{
    if (!clampRange(first, last))
        return;
    m_imagePoints.erase(m_imagePoints.begin() + first, m_imagePoints.begin() + last);
    m_imageIndices.erase(m_imageIndices.begin() + first, m_imageIndices.begin() + last);
    eraseRecords(first, last);
    signalPointsRemoved.emitSignal(first, last);
}

void PointsOnImage::configurePoint(const Properties* properties)
{
    if (!properties)
        return;
    Eigen::Vector3d point;
    if (properties->param("Point", point))
        addImagePoint(point, properties->paramOr("Image", 0));
    std::string name;
    if (properties->param("Name", name) && !empty())
        setName(name, size() - 1);
}

void PointsOnImage::pointConfiguration(Properties* properties, int index) const
{
    if (!properties || index < 0 || index >= size())
        return;
    properties->setParam("Point", m_imagePoints[size_t(index)]);
    properties->setParam("Image", m_imageIndices[size_t(index)]);
    if (index < int(names().size()))
        properties->setParam("Name", names()[size_t(index)]);
}

void PointsOnImage::updateWorldPoints()
{
    refreshWorldPoints();
    if (!empty())
        signalPointsChanged.emitSignal(0, size());
}

void PointsOnImage::refreshWorldPoints() const
{
    m_worldPoints.resize(m_imagePoints.size());
    for (size_t i = 0; i < m_imagePoints.size(); ++i)
        m_worldPoints[i] = m_image.imageToWorld(m_imagePoints[i], m_imageIndices[i]);
}

int PointsOnImage::resolveImage(int imageIndex) const
{
    return imageIndex < 0 ? m_image.selectedImage() : imageIndex;
}

bool PointsOnImage::resolveIndex(int& index, const char* operation) const
{
    if (index < 0)
        index = std::max(size() + index, 0);
    if (index < size())
        return true;
    Log::logf(Log::Error, kCategory, "{}: invalid index {}", operation, index);
    return false;
}

} // namespace Kelvaros

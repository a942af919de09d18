#include "RegistrationPairs.h"

namespace Kelvaros::Nav
{

Properties registrationPairs(const std::vector<Eigen::Vector3d>& tracked, const std::vector<Eigen::Vector3d>& image,
                             const std::string& pointer)
{
    Properties pairs;
    pairs.setParam("registrationType", 0);
    Properties* points = pairs.addSubProperties("pointCorrespondences");
    Properties* trackedSet = points->addSubProperties("pointsFirst");
    trackedSet->setParam("trackingTargetId", pointer);
    Properties* trackedList = trackedSet->addSubProperties("points");
    Properties* imageList = points->addSubProperties("pointsSecond")->addSubProperties("points");
    for (const Eigen::Vector3d& point : tracked)
        trackedList->addSubProperties("point")->setParam("Point", point);
    for (const Eigen::Vector3d& point : image)
    {
        Properties* entry = imageList->addSubProperties("point");
        entry->setParam("Point", point);
        entry->setParam("Image", 0);
    }
    return pairs;
}

} // namespace Kelvaros::Nav

#pragma once

#include <string>
#include <vector>

#include <Eigen/Core>

namespace Kelvaros
{

struct TrackingInstrument;

/// What is known of the tool apart from a sample: which instruments are the target and the reference (empty: none),
/// their calibrations (calibrated tool → tool) and the stream's registration S (tracker → world).
struct ToolPoseInputs
{
    std::string targetId;
    std::string referenceId;
    Eigen::Matrix4d targetCalibration = Eigen::Matrix4d::Identity();
    Eigen::Matrix4d referenceCalibration = Eigen::Matrix4d::Identity();
    Eigen::Matrix4d registration = Eigen::Matrix4d::Identity();
};

/// The tool as one sample shows it: with T and R the target's and reference's poses as delivered (identity when
/// absent) and C_t, C_r their calibrations,
///     trackerToWorld = S · C_r⁻¹ · R⁻¹,   toolMatrix = trackerToWorld · T · C_t,
/// and the quality Q_r · Q_t (Q_r = 1 without a reference, 0 when a configured one is missing, so that a tool whose
/// frame is absent is never shown in tracker space as if its reference were the identity).
struct ToolPose
{
    Eigen::Matrix4d rawTarget = Eigen::Matrix4d::Identity();
    Eigen::Matrix4d rawReference = Eigen::Matrix4d::Identity();
    Eigen::Matrix4d trackerToWorld = Eigen::Matrix4d::Identity();
    Eigen::Matrix4d toolMatrix = Eigen::Matrix4d::Identity();
    double quality = 0.0;
};

/// The tool's pose in one sample's instruments: a function of its inputs alone, so that whoever reads a sample
/// (the visualization's listener, a view's frame) finds the same pose. An empty id names no instrument (a device
/// that sends one sends garbage) and never matches; a later instrument of the same id overrides an earlier one.
/// General inverses: a calibration may hold the scale or shear of a bad fit. Any thread.
[[nodiscard]] ToolPose toolPoseOf(const std::vector<TrackingInstrument>& instruments, const ToolPoseInputs& inputs);

} // namespace Kelvaros
